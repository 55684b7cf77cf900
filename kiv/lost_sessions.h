// Sessions whose daemon is gone (killed, or the machine restarted) but
// whose saved record is still there: what the front end lists, shows and
// starts again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "kiv/saved_record.h"

namespace kiv {

// The state directory, or nothing when it cannot be trusted; `why` then
// says so (for the user: the session runs, but is not saved).
std::optional<std::string> savedDir(std::string* why = nullptr);

// True while the daemon that wrote the record still runs (the same boot,
// and its process is a kiv daemon of that name), even where its socket is
// out of reach (another runtime directory, a socket file removed).
bool daemonAlive(const SavedRecord& record);

// The record of a session whose daemon is gone, nothing when there
// is none (or no state directory to hold one). A record that cannot be
// trusted raises IoError naming the file and the fault.
std::optional<SavedRecord> lostRecord(const std::string& name, bool whole);

// The saved screen and history, passed through a fresh model of the
// terminal first: what is drawn is only ever lines of coloured text,
// whatever the file holds.
std::string savedTranscript(const SavedRecord& record);

// "[work lost 5m ago, saved 2026-12-09 19:40:12]"
std::string lostLine(const SavedRecord& record);
// The line between a restarted session's saved history and its new output.
std::string restartLine(const SavedRecord& record);

}  // namespace kiv
