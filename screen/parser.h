// The one reader of escape sequences: a state machine in the shape of
// DEC's VT500 parser (ground, escape, control sequence, device control and
// the other strings), fed chunk by chunk, that hands what it reads to a
// handler:
//
//   void print(std::string_view text);    graphic text, whole characters
//   void execute(uint8_t control);        C0 controls (and DEL in text)
//   void escDispatch(const Sequence& s);  ESC [intermediates] final
//   void csiDispatch(const Sequence& s);  CSI [leader] params [intermediates] final
//   void stringBegin(StringKind kind, const Sequence& header);
//   void stringPut(std::string_view fragment);
//   void stringEnd(bool terminated);      ST (or BEL for OSC); false: cancelled
//
// A handler may also have a text lane, which the parser offers the input
// at printable ASCII and at ESC in ground:
//
//   const char* lane(const char* p, const char* end);
//
// It carries out what it knows how to (text, common complete sequences)
// and returns where it stopped (p: nothing), leaving the parser in ground;
// what it does must be what the events would have done.
//
// The parser is a template over the handler so that the text path inlines.
// It keeps its state between feeds, so a sequence, string or character cut
// by a read goes on where it stopped: nothing is copied but the bytes of a
// cut UTF-8 character. Every number is bounded (see sequence.h) and a
// string is handed over in fragments as it arrives, never gathered here.
//
// Characters are UTF-8 as the model reads it (utf8.h): the lead byte fixes
// the length and the bytes after it are taken whatever they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "screen/sequence.h"

namespace screen {

enum class StringKind : uint8_t { Osc, Dcs, Sos, Pm, Apc };

namespace parsing {

inline constexpr unsigned char kEsc = 0x1b, kCan = 0x18, kSub = 0x1a, kBel = 0x07;

inline bool isPrintableAscii(unsigned char b) {
    return b >= 0x20 && b < 0x7f;
}

// The end of the run of printable ASCII bytes from p, eight at a time.
inline const char* printableRunEnd(const char* p, const char* end) {
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    while (end - p >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        // A byte below 0x20, or above 0x7e (0x7f and every 8-bit byte).
        uint64_t below = (w - 0x20 * kOnes) & ~w & kHighs;
        uint64_t above = ((w + kOnes) | w) & kHighs;
        // Carries and borrows may mark bytes after the first one that
        // fails, never before it.
        if (uint64_t bad = below | above) return p + (__builtin_ctzll(bad) >> 3);
        p += 8;
    }
    while (p < end && isPrintableAscii(static_cast<unsigned char>(*p)))
        ++p;
    return p;
}

// The end of the parameter bytes (0x30..0x3F) of a control sequence from
// p, eight at a time.
inline const char* paramsEnd(const char* p, const char* end) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    while (end - p >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        // Bytes whose high nibble is not 3.
        if (uint64_t beyond = (w & 0xf0 * kOnes) ^ 0x30 * kOnes)
            return p + (__builtin_ctzll(beyond) >> 3);
        p += 8;
    }
    while (p < end && (*p & 0xf0) == 0x30)
        ++p;
    return p;
}

// The bytes a UTF-8 character takes, by its lead byte (1 for ASCII and
// stray bytes); the screen's decoder (utf8.h) reads characters by the
// same rule.
inline size_t characterLength(unsigned char b) {
    if (b < 0xc0) return 1;
    if (b < 0xe0) return 2;
    if (b < 0xf0) return 3;
    if (b < 0xf8) return 4;
    if (b < 0xfc) return 5;
    if (b < 0xfe) return 6;
    return 1;
}

// Parameters read as their bytes arrive: the value being read, and
// whether it follows a ":".
struct ParamReader {
    int64_t value = 0;
    bool empty = true;
    bool sub = false;

    void digit(Sequence& s, char c) {
        // Saturates at the limit: one more digit cannot overflow.
        if (value < kParamLimit) value = value * 10 + (c - '0');
        if (value >= kParamLimit) s.tooLarge = true;
        empty = false;
    }
    void finish(Sequence& s) {
        if (s.count < kMaxParams) {
            s.values[s.count] = int32_t(value >= kParamLimit ? kParamLimit - 1 : value);
            if (empty) s.empties |= 1u << s.count;
            if (sub) s.subs |= 1u << s.count;
            ++s.count;
        }
        value = 0;
        empty = true;
    }
    void separator(Sequence& s, char c) {
        finish(s);
        sub = c == ':';
    }
};

// Appends bytes that bring a fresh parser to where s and r stand: the
// leader and the parameters read so far (their values, which is what they
// mean).
void appendParams(std::string& out, const Sequence& s, const ParamReader* r);

}  // namespace parsing

template <class Handler>
class Parser {
  public:
    void feed(std::string_view bytes, Handler& h);
    // Nothing unfinished: no sequence, string or character begun.
    bool inGround() const { return state_ == State::Ground && heldLength_ == 0; }
    // Back to ground, whatever was begun forgotten (no handler call).
    void reset() { *this = Parser(); }
    // Bytes that bring a fresh parser to this one's state: the head of a
    // sequence begun (as its values, not its exact bytes), a cut
    // character, or a string's opening followed by `body`, the part of it
    // already handed over (which the handler keeps if it needs it).
    std::string unfinished(std::string_view body = {}) const;

  private:
    enum class State : uint8_t {
        Ground,
        Escape,
        EscapeIntermediate,
        CsiEntry,
        CsiParam,
        CsiIntermediate,
        CsiIgnore,
        OscString,
        DcsEntry,
        DcsParam,
        DcsIntermediate,
        DcsPassthrough,
        DcsIgnore,
        SosPmApcString,
    };

    bool inString() const {
        return state_ == State::OscString || state_ == State::DcsPassthrough ||
               state_ == State::DcsIgnore || state_ == State::SosPmApcString;
    }
    // A new sequence of this kind, read from its first byte on.
    void begin(State s, Sequence::Kind kind) {
        state_ = s;
        seq_ = Sequence();
        seq_.kind = kind;
        params_ = parsing::ParamReader();
        malformed_ = false;
    }
    void intermediate(char c) {
        if (seq_.intermediateCount < kMaxIntermediates)
            seq_.intermediates[seq_.intermediateCount] = c;
        // The count stops one past the most kept, so it cannot wrap.
        if (seq_.intermediateCount <= kMaxIntermediates) ++seq_.intermediateCount;
    }
    void finishParams() {
        params_.finish(seq_);
        seq_.malformed = seq_.malformed || malformed_;
    }
    // Ground from a string, which the handler is told has ended.
    void endString(Handler& h, bool terminated) {
        if (state_ != State::DcsIgnore) h.stringEnd(terminated);
        stringEsc_ = false;
        state_ = State::Ground;
    }
    const char* ground(const char* p, const char* end, Handler& h);
    const char* escape(const char* p, const char* end, Handler& h);
    const char* control(const char* p, const char* end, Handler& h);
    const char* device(const char* p, const char* end, Handler& h);
    const char* string(const char* p, const char* end, Handler& h);
    // A control inside a sequence: carried out, or (CAN, SUB, ESC) the end
    // of the sequence. Returns false when the sequence is over.
    bool controlInside(unsigned char b, Handler& h) {
        if (b == parsing::kEsc) {
            begin(State::Escape, Sequence::Esc);
            return false;
        }
        if (b == parsing::kCan || b == parsing::kSub) {
            state_ = State::Ground;
            return false;
        }
        h.execute(b);
        return true;
    }

    State state_ = State::Ground;
    // An ESC is pending inside a string: "\\" ends it, anything else
    // cancels it and begins another sequence.
    bool stringEsc_ = false;
    bool malformed_ = false;
    uint8_t heldLength_ = 0;  // bytes of a cut character in held_
    uint8_t heldNeed_ = 0;    // bytes the whole character takes
    StringKind stringKind_ = StringKind::Osc;
    char held_[6] = {};
    parsing::ParamReader params_;
    Sequence seq_;
};

template <class Handler>
void Parser<Handler>::feed(std::string_view bytes, Handler& h) {
    const char* p = bytes.data();
    const char* const end = p + bytes.size();
    while (p < end) {
        switch (state_) {
            case State::Ground:
                p = ground(p, end, h);
                break;
            case State::Escape:
            case State::EscapeIntermediate:
                p = escape(p, end, h);
                break;
            case State::CsiEntry:
            case State::CsiParam:
            case State::CsiIntermediate:
            case State::CsiIgnore:
                p = control(p, end, h);
                break;
            case State::DcsEntry:
            case State::DcsParam:
            case State::DcsIntermediate:
                p = device(p, end, h);
                break;
            case State::OscString:
            case State::DcsPassthrough:
            case State::DcsIgnore:
            case State::SosPmApcString:
                p = string(p, end, h);
                break;
        }
    }
}

// Text in runs, and the commonest control sequence (parameter bytes then
// a final byte, whole in this chunk) read in one go.
template <class Handler>
const char* Parser<Handler>::ground(const char* p, const char* end, Handler& h) {
    using namespace parsing;
    if (heldLength_ > 0) {
        // The rest of a character the last chunk cut.
        while (heldLength_ < heldNeed_ && p < end)
            held_[heldLength_++] = *p++;
        if (heldLength_ < heldNeed_) return p;
        h.print(std::string_view(held_, heldLength_));
        heldLength_ = 0;
    }
    while (p < end) {
        if constexpr (requires { h.lane(p, end); }) {
            unsigned char b = static_cast<unsigned char>(*p);
            if (isPrintableAscii(b) || b == kEsc) {
                const char* q = h.lane(p, end);
                if (q != p) {
                    p = q;
                    continue;
                }
            }
        }
        const char* run = p;
        while (p < end) {
            unsigned char b = static_cast<unsigned char>(*p);
            if (isPrintableAscii(b)) {
                p = printableRunEnd(p + 1, end);
            } else if (b >= 0x80) {
                size_t n = characterLength(b);
                if (size_t(end - p) < n) {
                    if (p > run) h.print(std::string_view(run, size_t(p - run)));
                    heldNeed_ = uint8_t(n);
                    heldLength_ = uint8_t(end - p);
                    std::memcpy(held_, p, heldLength_);
                    return end;
                }
                p += n;
            } else {
                break;
            }
        }
        if (p > run) h.print(std::string_view(run, size_t(p - run)));
        if (p == end) return p;
        unsigned char b = static_cast<unsigned char>(*p++);
        if (b != kEsc) {
            h.execute(b);
            continue;
        }
        if (end - p >= 2 && *p == '[') {
            const char* q = paramsEnd(p + 1, end);
            if (q < end && *q >= 0x40 && *q <= 0x7e) {
                Sequence s;
                readParams(std::string_view(p + 1, size_t(q - p - 1)), s);
                s.final = *q;
                h.csiDispatch(s);
                p = q + 1;
                continue;
            }
        }
        begin(State::Escape, Sequence::Esc);
        return p;
    }
    return p;
}

template <class Handler>
const char* Parser<Handler>::escape(const char* p, const char* end, Handler& h) {
    using namespace parsing;
    while (p < end) {
        unsigned char b = static_cast<unsigned char>(*p++);
        if (b >= 0x20 && b <= 0x2f) {
            intermediate(char(b));
            state_ = State::EscapeIntermediate;
            continue;
        }
        if (b < 0x20) {
            if (!controlInside(b, h)) return p;
            continue;
        }
        if (b == 0x7f) continue;
        if (state_ == State::Escape) {
            switch (b) {
                case '[':
                    begin(State::CsiEntry, Sequence::Csi);
                    return p;
                case ']':
                    begin(State::OscString, Sequence::Esc);
                    stringKind_ = StringKind::Osc;
                    h.stringBegin(StringKind::Osc, seq_);
                    return p;
                case 'P':
                    begin(State::DcsEntry, Sequence::Dcs);
                    return p;
                case 'X':
                case '^':
                case '_':
                    begin(State::SosPmApcString, Sequence::Esc);
                    stringKind_ = b == 'X' ? StringKind::Sos : b == '^' ? StringKind::Pm
                                                                        : StringKind::Apc;
                    h.stringBegin(stringKind_, seq_);
                    return p;
                default:
                    break;
            }
        }
        // The final byte (an 8-bit one names no function).
        seq_.final = char(b);
        state_ = State::Ground;
        h.escDispatch(seq_);
        return p;
    }
    return p;
}

template <class Handler>
const char* Parser<Handler>::control(const char* p, const char* end, Handler& h) {
    while (p < end) {
        unsigned char b = static_cast<unsigned char>(*p++);
        if (b >= 0x40 && b <= 0x7e) {
            seq_.final = char(b);
            finishParams();
            state_ = State::Ground;
            h.csiDispatch(seq_);
            return p;
        }
        if (b >= 0x30 && b <= 0x3f) {
            if (state_ == State::CsiIntermediate || state_ == State::CsiIgnore) {
                // Parameters after intermediates: no function takes them.
                malformed_ = true;
                state_ = State::CsiIgnore;
            } else if (b <= '9') {
                params_.digit(seq_, char(b));
                state_ = State::CsiParam;
            } else if (b <= ';') {
                params_.separator(seq_, char(b));
                state_ = State::CsiParam;
            } else if (state_ == State::CsiEntry) {
                seq_.leader = char(b);
                state_ = State::CsiParam;
            } else {
                malformed_ = true;  // a leader byte after the first
            }
            continue;
        }
        if (b >= 0x20 && b <= 0x2f) {
            intermediate(char(b));
            if (state_ != State::CsiIgnore) state_ = State::CsiIntermediate;
            continue;
        }
        if (b < 0x20 && !controlInside(b, h)) return p;
        // DEL and 8-bit bytes are ignored.
    }
    return p;
}

// The head of a device control string, read as a control sequence's.
template <class Handler>
const char* Parser<Handler>::device(const char* p, const char* end, Handler& h) {
    using namespace parsing;
    while (p < end) {
        unsigned char b = static_cast<unsigned char>(*p++);
        if (b >= 0x40 && b <= 0x7e) {
            seq_.final = char(b);
            finishParams();
            stringKind_ = StringKind::Dcs;
            // A head no terminal reads: the string is skipped unseen.
            state_ = seq_.malformed ? State::DcsIgnore : State::DcsPassthrough;
            if (!seq_.malformed) h.stringBegin(StringKind::Dcs, seq_);
            return p;
        }
        if (b >= 0x30 && b <= 0x3f) {
            if (state_ == State::DcsIntermediate) {
                malformed_ = true;
            } else if (b <= '9') {
                params_.digit(seq_, char(b));
                state_ = State::DcsParam;
            } else if (b <= ';') {
                params_.separator(seq_, char(b));
                state_ = State::DcsParam;
            } else if (state_ == State::DcsEntry) {
                seq_.leader = char(b);
                state_ = State::DcsParam;
            } else {
                malformed_ = true;
            }
            continue;
        }
        if (b >= 0x20 && b <= 0x2f) {
            intermediate(char(b));
            state_ = State::DcsIntermediate;
            continue;
        }
        if (b == kEsc) {
            begin(State::Escape, Sequence::Esc);
            return p;
        }
        if (b == kCan || b == kSub) {
            state_ = State::Ground;
            return p;
        }
        // Other controls, DEL and 8-bit bytes in the head are ignored.
    }
    return p;
}

// A string's body, handed over in fragments: runs between the bytes that
// may end it.
template <class Handler>
const char* Parser<Handler>::string(const char* p, const char* end, Handler& h) {
    using namespace parsing;
    const bool belEnds = state_ == State::OscString;
    while (p < end) {
        if (stringEsc_) {
            if (*p == '\\') {
                endString(h, true);
                return p + 1;
            }
            // Another sequence begins: the string is cut short.
            endString(h, false);
            begin(State::Escape, Sequence::Esc);
            return p;
        }
        const char* run = p;
        while (p < end) {
            unsigned char b = static_cast<unsigned char>(*p);
            if (b == kEsc || b == kCan || b == kSub || (b == kBel && belEnds)) break;
            ++p;
        }
        if (p > run && state_ != State::DcsIgnore)
            h.stringPut(std::string_view(run, size_t(p - run)));
        if (p == end) return p;
        unsigned char b = static_cast<unsigned char>(*p++);
        if (b == kEsc) {
            stringEsc_ = true;
        } else {
            endString(h, b == kBel);
            return p;
        }
    }
    return p;
}

template <class Handler>
std::string Parser<Handler>::unfinished(std::string_view body) const {
    std::string out;
    auto intermediates = [&] {
        for (size_t i = 0; i < seq_.intermediateCount; ++i)
            out += i < kMaxIntermediates ? seq_.intermediates[i] : ' ';
    };
    switch (state_) {
        case State::Ground:
            out.assign(held_, heldLength_);
            break;
        case State::Escape:
        case State::EscapeIntermediate:
            out += '\x1b';
            intermediates();
            break;
        case State::CsiEntry:
        case State::CsiParam:
        case State::CsiIntermediate:
        case State::CsiIgnore:
        case State::DcsEntry:
        case State::DcsParam:
        case State::DcsIntermediate: {
            bool dcs = seq_.kind == Sequence::Dcs;
            out += '\x1b';
            out += dcs ? 'P' : '[';
            if (state_ != State::CsiEntry && state_ != State::DcsEntry)
                parsing::appendParams(out, seq_, &params_);
            if (malformed_) out += "<<";
            intermediates();
            if (state_ == State::CsiIgnore) out += '0';
            break;
        }
        case State::OscString:
            out += "\x1b]";
            break;
        case State::DcsPassthrough:
        case State::DcsIgnore:
            out += "\x1bP";
            parsing::appendParams(out, seq_, nullptr);
            if (state_ == State::DcsIgnore) out += "<<";
            intermediates();
            out += seq_.final;
            break;
        case State::SosPmApcString:
            out += '\x1b';
            out += stringKind_ == StringKind::Sos ? 'X' : stringKind_ == StringKind::Pm ? '^' : '_';
            break;
    }
    if (inString()) {
        out += body;
        if (stringEsc_) out += '\x1b';
    }
    return out;
}

}  // namespace screen
