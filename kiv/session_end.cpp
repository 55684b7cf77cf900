#include "kiv/session_end.h"

#include <sys/wait.h>

#include <cstring>

#include "kiv/fields.h"
#include "kiv/integer.h"

namespace kiv {

SessionEnd endFromWaitStatus(int status) {
    if (WIFSIGNALED(status)) return {SessionEnd::How::Signaled, WTERMSIG(status)};
    return {SessionEnd::How::Exited, WIFEXITED(status) ? WEXITSTATUS(status) : 0};
}

std::string signalName(int signal) {
    const char* abbrev = signal > 0 && signal < NSIG ? sigabbrev_np(signal) : nullptr;
    if (!abbrev) return "signal " + std::to_string(signal);
    return std::string("SIG") + abbrev;
}

std::string describeEnd(const SessionEnd& end) {
    switch (end.how) {
        case SessionEnd::How::Exited:
            return "exited " + std::to_string(end.code);
        case SessionEnd::How::Signaled:
            return "killed by " + signalName(end.code);
        case SessionEnd::How::Killed:
            break;
    }
    return "killed";
}

int endExitStatus(const SessionEnd& end) {
    switch (end.how) {
        case SessionEnd::How::Exited:
            return end.code & 0xff;
        case SessionEnd::How::Signaled:
            return (128 + end.code) & 0xff;
        case SessionEnd::How::Killed:
            break;
    }
    return 1;
}

void appendEndFields(std::string& out, const SessionEnd& end) {
    switch (end.how) {
        case SessionEnd::How::Exited:
            addField(out, "end", "exited");
            addField(out, "status", std::to_string(end.code));
            break;
        case SessionEnd::How::Signaled:
            addField(out, "end", "signal");
            addField(out, "signal", std::to_string(end.code));
            break;
        case SessionEnd::How::Killed:
            addField(out, "end", "killed");
            break;
    }
    addField(out, "ago", std::to_string(end.secondsAgo));
}

bool EndFieldReader::take(std::string_view key, std::string_view value) {
    if (key == "end") {
        if (value == "exited") {
            how_ = SessionEnd::How::Exited;
        } else if (value == "signal") {
            how_ = SessionEnd::How::Signaled;
        } else if (value == "killed") {
            how_ = SessionEnd::How::Killed;
        } else {
            bad_ = true;
        }
        return true;
    }
    if (key != "status" && key != "signal" && key != "ago") return false;
    std::optional<int64_t> number = readInteger(value);
    if (!number || *number < 0 || (key != "ago" && *number > 255)) {
        bad_ = true;
    } else if (key == "ago") {
        end_.secondsAgo = *number;
    } else {
        end_.code = static_cast<int>(*number);
    }
    return true;
}

std::optional<SessionEnd> EndFieldReader::result() const {
    if (bad_ || !how_) return std::nullopt;
    SessionEnd end = end_;
    end.how = *how_;
    if (end.how == SessionEnd::How::Killed) end.code = 0;
    return end;
}

std::optional<SessionEnd> decodeEnd(std::string_view payload) {
    std::optional<std::vector<Field>> fields = splitFields(payload);
    if (!fields) return std::nullopt;
    EndFieldReader reader;
    for (const Field& f : *fields)
        reader.take(f.key, f.value);  // others skipped
    return reader.result();
}

}  // namespace kiv
