#include "kiv/nesting.h"

#include <fcntl.h>
#include <unistd.h>

#include <deque>
#include <set>
#include <string_view>

#include "kiv/errors.h"
#include "kiv/fd.h"
#include "kiv/session_details.h"
#include "kiv/session_names.h"

namespace kiv {

namespace {

// How long each daemon on the way may take to answer.
constexpr int AnswerTimeoutMs = 1000;
// More sessions than anyone nests: the walk stops there.
constexpr size_t MaxWalk = 256;

}  // namespace

std::string sessionOfProcess(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/environ";
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return "";
    std::string environ;
    char buf[4096];
    ssize_t n;
    // An environment is bounded by the kernel's argument limit.
    while ((n = read(fd.get(), buf, sizeof buf)) > 0 && environ.size() < 4 * 1024 * 1024)
        environ.append(buf, static_cast<size_t>(n));
    std::string prefix = std::string(SessionVar) + "=";
    for (size_t at = 0; at < environ.size();) {
        size_t end = environ.find('\0', at);
        if (end == std::string::npos) end = environ.size();
        std::string_view entry(environ.data() + at, end - at);
        if (entry.substr(0, prefix.size()) == prefix) return std::string(entry.substr(prefix.size()));
        at = end + 1;
    }
    return "";
}

bool closesLoop(const std::string& target, const std::string& inside) {
    std::set<std::string> seen;
    std::deque<std::string> next;
    if (!inside.empty()) next.push_back(inside);
    while (!next.empty() && seen.size() < MaxWalk) {
        std::string name = std::move(next.front());
        next.pop_front();
        if (name == target) return true;
        if (!seen.insert(name).second) continue;
        std::optional<SessionDetails> details;
        try {
            details = queryDetails(name, AnswerTimeoutMs);
        } catch (const SystemError&) {
            continue;  // not running
        }
        if (details) next.insert(next.end(), details->shownInside.begin(), details->shownInside.end());
    }
    return false;
}

}  // namespace kiv
