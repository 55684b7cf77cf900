// Sessions whose daemon is gone (killed, or the machine restarted) but
// whose saved record is still there: what the front end lists, shows and
// starts again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// How `kiv NAME` starts a lost session again when no command is given.
// Without a saved job (the shell was at its prompt): the command in its
// directory. With one, the job comes back too: typed into the restarted
// shell once it is up (after a "cd" to the job's directory where that
// differs), so that quitting the job leaves the user in their shell; a
// command that is not a shell reading its terminal gives way to the job.
struct Restart {
    std::vector<std::string> command;  // program and arguments
    std::string cwd;
    std::string typed;    // the line to type, its Enter included; "" for none
    std::string refusal;  // why a saved job is not typed, "" when it is or there is none
};
Restart restartOf(const SavedRecord& record);

// Carries the typed line from the front end to the daemon it starts, which
// clears it before the command could inherit it.
inline constexpr const char* TypeaheadVar = "KIV_TYPEAHEAD";

// "[work lost 5m ago, saved 2026-12-09 19:40:12]"
std::string lostLine(const SavedRecord& record);
// The line between a restarted session's saved history and its new output.
std::string restartLine(const SavedRecord& record);

}  // namespace kiv
