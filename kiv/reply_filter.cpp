#include "kiv/reply_filter.h"

#include <algorithm>

namespace kiv {

namespace {

using screen::QueryKind;

// Longer sequences are no answer to any of these queries.
constexpr size_t MaxReplyBytes = 512;

// What the bytes at an ESC are.
struct Reply {
    enum State { None, Partial, Complete } state = None;
    size_t length = 0;
    char leader = 0;        // "?" or ">", else 0
    char intermediate = 0;  // "$" or 0
    char final = 0;         // for a device control string: "|"
    int params = 0;         // how many
    int64_t first = -1;     // the first parameter, -1 when empty
    char string = 0;        // "P" or "]" for a string, with its text:
    std::string_view body = {};
};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads a control sequence of the forms terminals answer with:
// ESC [ [?>] digits and ";" [$] final.
Reply readControl(std::string_view d, size_t at) {
    Reply r;
    size_t j = at + 2;
    if (j < d.size() && (d[j] == '?' || d[j] == '>')) r.leader = d[j++];
    bool inParam = false;
    int64_t value = 0;
    for (; j < d.size() && j - at < MaxReplyBytes; ++j) {
        char c = d[j];
        if (isDigit(c)) {
            if (!inParam) ++r.params;
            inParam = true;
            value = std::min<int64_t>(value * 10 + (c - '0'), 1'000'000);
            continue;
        }
        if (c == ';') {
            if (!inParam) ++r.params;
            if (r.params == 1) r.first = inParam ? value : -1;
            inParam = false;
            value = 0;
            continue;
        }
        if (r.params == 1 && inParam) r.first = value;
        size_t end = j + 1;
        if (c == '$') {
            if (end == d.size()) return {Reply::Partial};
            r.intermediate = '$';
            c = d[end++];
        }
        if (c < 0x40 || c > 0x7e) return {};
        r.final = c;
        r.state = Reply::Complete;
        r.length = end - at;
        return r;
    }
    return j - at < MaxReplyBytes ? Reply{Reply::Partial} : Reply{};
}

// Reads a device control string (ESC P ... ESC \) or an operating-system
// command (ESC ] ... ESC \ or BEL) of printable text.
Reply readString(std::string_view d, size_t at) {
    bool command = d[at + 1] == ']';
    for (size_t j = at + 2; j < d.size() && j - at < MaxReplyBytes; ++j) {
        unsigned char c = static_cast<unsigned char>(d[j]);
        bool bel = c == 0x07 && command;
        if (c == 0x1b || bel) {
            if (!bel && j + 1 == d.size()) return {Reply::Partial};
            if (!bel && d[j + 1] != '\\') return {};
            Reply r;
            r.state = Reply::Complete;
            r.length = j + (bel ? 1 : 2) - at;
            r.string = d[at + 1];
            r.body = d.substr(at + 2, j - at - 2);
            return r;
        }
        if (c < 0x20 || c > 0x7e) return {};
    }
    return d.size() - at < MaxReplyBytes ? Reply{Reply::Partial} : Reply{};
}

Reply readReply(std::string_view d, size_t at) {
    if (at + 1 == d.size()) return {Reply::Partial};
    if (d[at + 1] == '[') return readControl(d, at);
    if (d[at + 1] == 'P' || d[at + 1] == ']') return readString(d, at);
    return {};
}

// A status report's body: "1" or "0" (valid or not), then the two bytes
// that name the report.
bool reportBody(std::string_view body, std::string_view name) {
    return body.size() >= 3 && (body[0] == '0' || body[0] == '1') && body.substr(1, 2) == name;
}

// The colour number an operating-system command's body starts with.
int64_t commandNumber(std::string_view body) {
    size_t semi = body.find(';');
    if (semi == 0 || semi == std::string_view::npos || semi > 2) return -1;
    int64_t n = 0;
    for (char c : body.substr(0, semi)) {
        if (!isDigit(c)) return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

// Whether a complete reply is the answer to the query, in the form
// terminals give it.
bool answers(const Reply& r, const screen::Query& q) {
    switch (q.kind) {
        case QueryKind::PrimaryAttributes:
            return r.leader == '?' && !r.intermediate && r.final == 'c';
        case QueryKind::SecondaryAttributes:
            return r.leader == '>' && !r.intermediate && r.final == 'c';
        case QueryKind::Status:
            return !r.leader && !r.intermediate && r.final == 'n' && r.params == 1;
        case QueryKind::CursorPosition:
            return !r.leader && !r.intermediate && r.final == 'R' && r.params == 2;
        case QueryKind::ExtendedCursorPosition:
            // Some terminals answer it as the plain report.
            return (r.leader == '?' || !r.leader) && !r.intermediate && r.final == 'R' &&
                   r.params >= 2 && r.params <= 3;
        case QueryKind::AnsiMode:
            return !r.leader && r.intermediate == '$' && r.final == 'y' && r.params == 2 &&
                   r.first == q.mode;
        case QueryKind::DecMode:
            return r.leader == '?' && r.intermediate == '$' && r.final == 'y' && r.params == 2 &&
                   r.first == q.mode;
        case QueryKind::Version:
            return r.string == 'P' && r.body.starts_with(">|");
        case QueryKind::KeyboardFlags:
            return r.leader == '?' && !r.intermediate && r.final == 'u' && r.params <= 1;
        case QueryKind::Color:
            return r.string == ']' && commandNumber(r.body) == q.mode;
        case QueryKind::Capabilities:
            return r.string == 'P' && reportBody(r.body, "+r");
        case QueryKind::Setting:
            return r.string == 'P' && reportBody(r.body, "$r");
    }
    return false;
}

}  // namespace

ReplyFilter::Open* ReplyFilter::find(uint64_t id) {
    if (id < firstId_ || id - firstId_ >= open_.size()) return nullptr;
    return &open_[id - firstId_];
}

// Forgets queries that every terminal has answered or declined, and those
// whose time to be answered is over.
void ReplyFilter::expire(Clock::time_point now) {
    while (!open_.empty() && (open_.front().waiting <= 0 || now - open_.front().at > ReplyWait)) {
        open_.pop_front();
        ++firstId_;
    }
}

void ReplyFilter::dropStale(Watcher& w) {
    while (!w.expected.empty() && !find(w.expected.front()))
        w.expected.pop_front();
}

void ReplyFilter::asked(const screen::Query& query, const std::vector<WatcherId>& watchers,
                        Clock::time_point now) {
    expire(now);
    if (watchers.empty()) return;
    if (open_.size() >= MaxOpenQueries) {
        open_.pop_front();
        ++firstId_;
    }
    uint64_t id = firstId_ + open_.size();
    open_.push_back(Open{query, now, int(watchers.size())});
    for (WatcherId watcher : watchers) {
        Watcher& w = watchers_[watcher];
        dropStale(w);
        w.expected.push_back(id);
    }
}

std::string ReplyFilter::pass(WatcherId watcher, std::string_view input, Clock::time_point now) {
    expire(now);
    auto it = watchers_.find(watcher);
    if (it == watchers_.end()) return std::string(input);
    Watcher& w = it->second;
    dropStale(w);
    std::string joined;
    std::string_view data = input;
    if (!w.held.empty()) {
        joined = std::move(w.held);
        joined.append(input);
        data = joined;
        w.held.clear();
    }
    std::string out;
    size_t copied = 0;  // data before this is in out, or left out
    size_t keep = data.size();
    for (size_t i = data.find('\x1b'); i != std::string_view::npos && !w.expected.empty();
         i = data.find('\x1b', i)) {
        Reply r = readReply(data, i);
        if (r.state == Reply::Partial) {
            keep = i;
            w.held.assign(data.substr(i));
            w.heldAt = now;
            break;
        }
        if (r.state == Reply::None) {
            ++i;
            continue;
        }
        auto match = std::find_if(w.expected.begin(), w.expected.end(), [&](uint64_t id) {
            Open* q = find(id);
            return q && answers(r, q->query);
        });
        if (match != w.expected.end()) {
            // The queries before it will not be answered by this terminal.
            for (auto skipped = w.expected.begin(); skipped != match; ++skipped) {
                if (Open* q = find(*skipped)) {
                    --q->waiting;
                    q->declined = true;
                }
            }
            Open* q = find(*match);
            w.expected.erase(w.expected.begin(), match + 1);
            --q->waiting;
            if (q->answered) {
                out.append(data.substr(copied, i - copied));
                copied = i + r.length;
            }
            q->answered = true;
        }
        i += r.length;
    }
    out.append(data.substr(copied, keep - copied));
    if (w.expected.empty() && w.held.empty()) watchers_.erase(it);
    return out;
}

std::string ReplyFilter::leave(WatcherId watcher, Clock::time_point now) {
    expire(now);
    auto it = watchers_.find(watcher);
    if (it == watchers_.end()) return {};
    std::string out = std::move(it->second.held);
    for (uint64_t id : it->second.expected) {
        Open* q = find(id);
        if (!q) continue;
        // The last terminal that could answer has gone without a word (it
        // never declined either): the command still gets its answer.
        if (--q->waiting == 0 && !q->answered && !q->declined) {
            out += q->query.answer;
            q->answered = true;
        }
    }
    watchers_.erase(it);
    expire(now);
    return out;
}

std::string ReplyFilter::release(Clock::time_point now) {
    expire(now);
    std::string out;
    for (auto it = watchers_.begin(); it != watchers_.end();) {
        Watcher& w = it->second;
        if (!w.held.empty() && now - w.heldAt >= ReplyTailWait) {
            out += w.held;
            w.held.clear();
        }
        dropStale(w);
        if (w.held.empty() && w.expected.empty())
            it = watchers_.erase(it);
        else
            ++it;
    }
    return out;
}

std::optional<ReplyClock::time_point> ReplyFilter::nextRelease() const {
    std::optional<Clock::time_point> next;
    for (const auto& [fd, w] : watchers_)
        if (!w.held.empty() && (!next || w.heldAt + ReplyTailWait < *next))
            next = w.heldAt + ReplyTailWait;
    // Past its wait a query is forgotten, and a client no query waits on
    // any more has its input pass untouched.
    if (!open_.empty()) {
        auto expiry = open_.front().at + ReplyWait + std::chrono::milliseconds(1);
        if (!next || expiry < *next) next = expiry;
    }
    return next;
}

}  // namespace kiv
