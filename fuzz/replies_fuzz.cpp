// Fuzz target for what the daemon makes of its clients' terminals' answers
// and of a `kiv ls` reply: the reply filter and the session details.
//
// The first byte picks the case (by its value modulo 3):
//   0: the rest is a Details payload. What decodes encodes to a payload
//         that decodes to the same details, and the table made of it shows
//         no control character.
//   1:    the rest drives a reply filter: queries asked of up to four
//         terminals, their input in pieces, time passing, terminals
//         leaving. Nothing is made up: the command never gets more than
//         the clients typed plus the model's answers; and once every
//         terminal has left and every wait is over, nothing is held.
//   2:    the second byte picks a detach key, the rest is one read of the
//         keyboard: it is the key only as the byte itself or as one
//         escape-coded key report, never with anything around it.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "kiv/detach_key.h"
#include "kiv/reply_filter.h"
#include "kiv/session_details.h"

namespace {

using fuzzing::Input;
using fuzzing::require;

bool sameDetails(const kiv::SessionDetails& a, const kiv::SessionDetails& b) {
    return a.pid == b.pid && a.clients == b.clients && a.ageSeconds == b.ageSeconds &&
           a.cols == b.cols && a.rows == b.rows && a.command == b.command && a.end == b.end;
}

void details(Input& in) {
    std::string_view payload = in.run(in.size);
    std::optional<kiv::SessionDetails> d = kiv::decodeDetails(payload);
    if (!d) return;
    std::optional<kiv::SessionDetails> again = kiv::decodeDetails(kiv::encodeDetails(*d));
    require(again && sameDetails(*d, *again), "details do not survive their encoding");
    std::vector<kiv::DetailsRow> rows = {{std::string(payload.substr(0, 16)), d, 0, {}},
                                         {"unanswered", std::nullopt, d->pid, {}}};
    for (const std::string& line : kiv::detailsTable(rows))
        for (unsigned char c : line)
            require(c >= 0x20 && c != 0x7f, "a control character in the table");
}

// Queries as the model records them, with the model's answer where it has one.
screen::Query queryOf(uint8_t pick) {
    static const screen::Query queries[] = {
        {screen::QueryKind::PrimaryAttributes, 0, "\x1b[?62;22c"},
        {screen::QueryKind::SecondaryAttributes, 0, "\x1b[>1;10;0c"},
        {screen::QueryKind::Status, 0, "\x1b[0n"},
        {screen::QueryKind::CursorPosition, 0, "\x1b[3;7R"},
        {screen::QueryKind::ExtendedCursorPosition, 0, "\x1b[?3;7;1R"},
        {screen::QueryKind::AnsiMode, 4, "\x1b[4;2$y"},
        {screen::QueryKind::DecMode, 2004, "\x1b[?2004;1$y"},
        {screen::QueryKind::Version, 0, "\x1bP>|kiv\x1b\\"},
        {screen::QueryKind::KeyboardFlags, 0, "\x1b[?0u"},
        {screen::QueryKind::Color, 11, ""},
        {screen::QueryKind::Capabilities, 0, ""},
        {screen::QueryKind::Setting, 0, ""},
    };
    return queries[pick % (sizeof queries / sizeof queries[0])];
}

void replyFilter(Input& in) {
    kiv::ReplyFilter filter;
    auto now = kiv::ReplyClock::time_point{} + std::chrono::hours(1);
    size_t typed = 0, answers = 0, out = 0;
    bool gone[4] = {false, false, false, false};
    while (!in.empty()) {
        uint8_t op = in.byte();
        kiv::WatcherId who = op >> 6;
        switch (op % 5) {
            case 0: {
                screen::Query q = queryOf(in.byte());
                std::vector<kiv::WatcherId> watchers;
                uint8_t mask = in.byte();
                for (kiv::WatcherId w = 0; w < 4; ++w)
                    if ((mask >> w & 1) && !gone[w]) watchers.push_back(w);
                if (watchers.empty()) break;
                filter.asked(q, watchers, now);
                answers += q.answer.size();
                break;
            }
            case 1:
            case 2: {
                if (gone[who] || !filter.watching(who)) break;
                std::string_view bytes = in.run(1 + in.byte() % 32);
                typed += bytes.size();
                out += filter.pass(who, bytes, now).size();
                break;
            }
            case 3:
                now += std::chrono::milliseconds(in.byte() * 20);
                out += filter.release(now).size();
                if (std::optional<kiv::ReplyClock::time_point> next = filter.nextRelease())
                    require(*next > now - std::chrono::hours(1), "a release far in the past");
                break;
            case 4:
                if (gone[who]) break;
                gone[who] = true;
                out += filter.leave(who, now).size();
                break;
        }
        require(out <= typed + answers, "the command got bytes nobody typed");
    }
    for (kiv::WatcherId w = 0; w < 4; ++w)
        if (!gone[w]) out += filter.leave(w, now).size();
    now += std::chrono::minutes(1);
    out += filter.release(now).size();
    require(out <= typed + answers, "the command got bytes nobody typed");
    require(!filter.nextRelease(), "something held after everyone left");
}

void detachKey(Input& in) {
    kiv::DetachKey key{static_cast<unsigned char>(in.byte() % 0x20)};
    std::string_view read = in.run(in.size);
    if (!kiv::isDetachKey(key, read)) return;
    bool report = read.size() >= 4 && read.substr(0, 2) == "\x1b[" &&
                  (read.back() == 'u' || read.back() == '~') &&
                  read.find_first_not_of("0123456789;:", 2) == read.size() - 1;
    require(read == std::string_view(reinterpret_cast<const char*>(&*key.control), 1) || report,
            "the detach key recognised in other input");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    switch (in.byte() % 3) {
        case 0:
            details(in);
            break;
        case 1:
            replyFilter(in);
            break;
        default:
            detachKey(in);
            break;
    }
    return 0;
}
