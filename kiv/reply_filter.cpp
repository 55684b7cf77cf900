#include "kiv/reply_filter.h"

#include <algorithm>

#include "screen/parser.h"

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
    char final = 0;
    int params = 0;         // how many
    int64_t first = -1;     // the first parameter, -1 when empty
    char string = 0;        // "P" or "]" for a string, with its head and text:
    screen::Sequence head;
    std::string body;
};

// Takes what the parser reads from one ESC on: a control sequence of the
// forms terminals answer with (ESC [ [?>] digits and ";" [$] final), or a
// device control string or operating-system command of printable text.
// Anything else, or anything inside them (a control), is no reply.
struct ReplyReader {
    Reply reply;
    bool done = false, bad = false, inString = false;

    void print(std::string_view) { bad = true; }
    void execute(uint8_t) { bad = true; }
    void escDispatch(const screen::Sequence&) { bad = true; }
    void csiDispatch(const screen::Sequence& s) {
        bool plain = s.intermediateCount == 0 ||
                     (s.intermediateCount == 1 && s.intermediates[0] == '$');
        if (!plain || s.malformed || s.tooLarge || s.subs != 0 ||
            (s.leader != 0 && s.leader != '?' && s.leader != '>')) {
            bad = true;
            return;
        }
        reply.leader = s.leader;
        reply.intermediate = s.intermediateCount ? '$' : 0;
        reply.final = s.final;
        reply.params = s.noParams() ? 0 : s.count;
        reply.first = s.present(0) ? s.raw(0) : -1;
        done = true;
    }
    void stringBegin(screen::StringKind kind, const screen::Sequence& head) {
        using screen::StringKind;
        if (kind != StringKind::Osc && kind != StringKind::Dcs) bad = true;
        reply.string = kind == StringKind::Osc ? ']' : 'P';
        reply.head = head;
        inString = true;
    }
    void stringPut(std::string_view text) {
        for (char c : text)
            if (c < 0x20 || c > 0x7e) bad = true;
        reply.body.append(text);
    }
    void stringEnd(bool terminated) {
        if (!terminated) bad = true;
        done = true;
    }
};

Reply readReply(std::string_view d, size_t at) {
    screen::Parser<ReplyReader> parser;
    ReplyReader r;
    for (size_t j = at; j < d.size(); ++j) {
        // Longer sequences are no answer to any of these queries.
        if (j - at >= MaxReplyBytes) return {};
        // An ESC outside a string begins another sequence.
        if (j > at && d[j] == '\x1b' && !r.inString) return {};
        parser.feed(d.substr(j, 1), r);
        if (r.bad) return {};
        if (r.done) {
            r.reply.state = Reply::Complete;
            r.reply.length = j + 1 - at;
            return std::move(r.reply);
        }
        // Abandoned (CAN, SUB).
        if (parser.inGround()) return {};
    }
    Reply partial;
    partial.state = Reply::Partial;
    return partial;
}

// A status report's head: "1" or "0" (valid or not), then the
// intermediate and "r" that name the report.
bool isReport(const screen::Sequence& head, char intermediate) {
    return head.leader == 0 && head.count == 1 && head.present(0) && head.raw(0) <= 1 &&
           head.intermediateCount == 1 && head.intermediates[0] == intermediate &&
           head.final == 'r';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
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
            return r.string == 'P' && r.head.leader == '>' && r.head.noParams() &&
                   r.head.intermediateCount == 0 && r.head.final == '|';
        case QueryKind::KeyboardFlags:
            return r.leader == '?' && !r.intermediate && r.final == 'u' && r.params <= 1;
        case QueryKind::Color:
            return r.string == ']' && commandNumber(r.body) == q.mode;
        case QueryKind::Capabilities:
            return r.string == 'P' && isReport(r.head, '+');
        case QueryKind::Setting:
            return r.string == 'P' && isReport(r.head, '$');
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
