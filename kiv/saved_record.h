// A session's saved record: what kiv keeps on disk of a session so that it
// outlives its daemon and the machine's restart: its name, command,
// directory and times, and the screen with its history as a transcript
// (lines with their colours, see screen::Terminal::transcript), which any
// model of a terminal can be fed. The grid's own layout is never written.
//
// The file: "KIVSAVED", a 32-bit version, then a metadata part and the
// content, each with its length in front and a 64-bit FNV-1a check after.
// The metadata is a list of fields (tag, length, value); a reader skips
// tags it does not know. Numbers are little-endian. `kiv ls` reads only the
// metadata; whatever shows or restores the content checks it whole.
//
// Versions: 2 added the foreground job, which a record of version 1 (still
// read) does not have.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/session_end.h"

namespace kiv {

inline constexpr uint32_t RecordVersion = 2;
inline constexpr uint32_t OldestRecordVersion = 1;
// A record is never larger: the history budget of a snapshot with room for
// the colours. A larger file is refused unread.
inline constexpr size_t MaxRecordBytes = 64 * 1024 * 1024;

struct SavedRecord {
    std::string name;
    std::vector<std::string> command;  // the program and its arguments
    std::string cwd;                   // the command's working directory when saved
    // What ran in the foreground of the session's terminal when saved, when
    // that was not the command itself (vim started from the shell): its
    // program and arguments, and its working directory.
    std::vector<std::string> job;
    std::string jobCwd;
    int64_t started = 0;               // Unix seconds
    int64_t saved = 0;                 // Unix seconds
    int64_t pid = 0;                   // the daemon's
    std::string bootId;                // the machine's boot when saved
    int64_t cols = 80;
    int64_t rows = 24;
    // False when the user turned saving of content off (KIV_SAVE=0): the
    // record then tells only that the session was there.
    bool hasContent = false;
    std::string content;
    // An ended session kept until collected: how it ended, and when (Unix
    // seconds). Nothing while the command runs.
    std::optional<SessionEnd> end;
    int64_t endedAt = 0;
};

std::string encodeRecord(const SavedRecord& record);
// Raises IoError naming what is wrong. Without `whole`, the content is
// neither read nor checked (only the file's length must match).
SavedRecord decodeRecord(std::string_view bytes, bool whole);

// The record's file in the state directory: named after a hash of the
// session's name, which the record itself holds.
std::string recordPath(const std::string& dir, std::string_view name);

// Writes the record under a temporary name (0600, created exclusively,
// never through a link), flushes it to disk and renames it into place.
// Raises SystemError.
void writeRecord(const std::string& dir, const SavedRecord& record);

// Reads a record file that must be a regular file of this user, closed to
// others, at most MaxRecordBytes. Raises IoError "<path>: <why>" for a
// damaged, foreign or unsafe file, SystemError when it cannot be read.
SavedRecord readRecord(const std::string& path, bool whole);

// The record of a session, nothing when there is none. A file that is
// there but cannot be trusted raises as readRecord does, and so does one
// that holds another session's name.
std::optional<SavedRecord> loadRecord(const std::string& dir, std::string_view name, bool whole);

void removeRecord(const std::string& dir, std::string_view name);

// Every record file of the directory, with its metadata or why it cannot
// be trusted.
struct RecordEntry {
    std::string path;
    std::optional<SavedRecord> record;
    std::string problem;
};
std::vector<RecordEntry> listRecords(const std::string& dir);

// /proc/sys/kernel/random/boot_id, "" when unknown.
std::string currentBootId();

}  // namespace kiv
