// Screen tests as data: scripts in tests/data/scripts/*.txt push bytes into
// a terminal and state what the screen must then hold. One case:
//
//   test REP repeats the character just written
//   size 20x5 scrollback 100  columns x rows (default 20x5, 100 lines of
//                             history), a new terminal; "young": one not
//                             yet sized, whose screen grows with output
//   push "ab\e[3b"            one chunk; \e \r \n \t \\ \" \xNN as in C
//   bytes "..."               the same, fed one byte at a time
//   |abbbb                    the screen's rows from the top, one | line
//   |                         each (trailing blanks do not count; rows not
//                             given must be empty)
//   row 3 "text"              one row; -1 is the newest history line
//   cursor 0,5                row,column on the screen
//   cell 0,1 fg=1 bg=rgb:102030 ul=idx:20 attrs=bold,curly text="b" link="x"
//                             a cell's look: the colours as kinds (0..16),
//                             idx:N or rgb:RRGGBB; attrs lists every style
//                             the cell has
//   history 2                 lines above the screen
//   unknown 1                 sequences of functions the table lacks
//   state sync=1 mouse=1000   facts of the terminal state (see facts())
//   answers "\e[0n" "*"       the answers to the queries asked since the
//                             last answers, in order; * stands for any text
//   resize 30x5               a new size for the terminal
//   repaint                   goes on with a fresh terminal of the same
//                             size fed the snapshot: what a client that
//                             attaches now holds
//   attach                    the same, and the program's own terminal
//                             goes on too: at the end both must agree on
//                             the screen, the cursor and every fact
//   leave                     feeds the terminal what takes it back to its
//                             defaults when a client leaves
//   snapshot budget=14 from=2 "\e[0m*"
//                             the repaint, whole (* stands for any text),
//                             with a history budget or first line
//   capture looks history=1 "ab\n"
//                             the text capture gives (text or looks)
//   transcript budget=40 "m1\e[0m\r\n"
//                             the lines a saved session keeps
//   parse "a\e[1;2"           a fresh parser fed these bytes (alone: no
//                             terminal), whole and one byte at a time;
//   events print(a) held(\e[1;2)
//                             what it handed over, the same both ways:
//                             print(text) c0(hex) esc(...) csi(...)
//                             begin(osc|dcs ...|sos|pm|apc) put(text)
//                             end(st|cancel), and held(bytes) for what it
//                             left unfinished; a sequence is written
//                             leader, parameters (":" before a
//                             sub-parameter), then "!" if malformed, "^"
//                             if a parameter is too large, intermediates
//                             ("+" for any past two) and final
//                             ("csi(?1;2$p)")
//
// Each case also checks that its snapshot, fed to a fresh terminal of the
// same size, shows the same screen, looks included, and that the sequence
// a leaving client gets takes the terminal back to its defaults.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "screen/parser.h"
#include "screen/render.h"
#include "screen/terminal.h"

using namespace screen;

namespace {

// A script line the runner cannot read; the case goes on without it.
struct BadLine : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The text between the quotes of q, its escapes undone.
std::string unquote(std::string_view q) {
    if (q.size() < 2 || q.front() != '"' || q.back() != '"')
        throw BadLine("expected a quoted text");
    static constexpr std::string_view kEscapes = "ernt", kMeanings = "\x1b\r\n\t";
    std::string out;
    for (size_t i = 1; i + 1 < q.size(); ++i) {
        if (q[i] != '\\' || i + 2 == q.size()) {
            out += q[i];
        } else if (char e = q[++i]; e == 'x') {
            out += char(std::stoi(std::string(q.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += kEscapes.find(e) == std::string_view::npos ? e : kMeanings[kEscapes.find(e)];
        }
    }
    return out;
}

// Two numbers in the given format ("%dx%d", "%d,%d").
std::pair<int, int> twoNumbers(const std::string& text, const char* format, const char* what) {
    int a = 0, b = 0;
    if (sscanf(text.c_str(), format, &a, &b) != 2) throw BadLine(what);
    return {a, b};
}

std::string trimmed(std::string s) {
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

std::vector<std::string> screenRows(const Grid& g) {
    std::vector<std::string> rows;
    for (int64_t i = 0; i < g.height; ++i)
        rows.push_back(trimmed(rowText(g, screenTop(g) + i)));
    return rows;
}

// A colour as the scripts write it.
std::string colourText(uint8_t kind, uint8_t index, uint32_t rgb) {
    if (kind == kColorIndexed) return "idx:" + std::to_string(index);
    if (kind == kColorDirect) {
        char buf[16];
        snprintf(buf, sizeof buf, "rgb:%06x", rgb);
        return buf;
    }
    return std::to_string(kind);
}

// The styles by name, an underline by its style's.
std::string attrsText(uint16_t attrs) {
    static const char* const kUnderlines[8] = {nullptr, "underline", "double",
                                               "curly", "dotted",    "dashed"};
    const std::pair<uint16_t, const char*> names[] = {
        {kBold, "bold"},        {kDim, "dim"},
        {kItalic, "italic"},    {kUnderline, kUnderlines[Pen{0, 0, 0, 0, attrs}.underlineStyle()]},
        {kBlink, "blink"},      {kInverse, "inverse"},
        {kStrike, "strike"},    {kConceal, "conceal"},
        {kOverline, "overline"}};
    std::string out;
    for (auto [bit, name] : names)
        if ((attrs & bit) && name) out.append(out.empty() ? "" : ",").append(name);
    return out;
}

// The words of a cell's look, in the order they are compared.
constexpr const char* kCellKeys[] = {"text=", "fg=", "bg=", "ul=", "attrs=", "link="};

// One cell's look as the words among kCellKeys that `keys` holds.
std::string describe(const Grid& g, const Row& row, size_t col, const std::string& keys) {
    Pen p = col < row.size() ? normalized(row.pen(col)) : Pen{};
    const std::string values[] = {
        "\"" + (col < row.size() ? row.text(col) : std::string(" ")) + "\"",
        colourText(p.fg, p.fgIndex, p.fgRgb),
        colourText(p.bg, p.bgIndex, p.bgRgb),
        colourText(p.ul, p.ulIndex, p.ulRgb),
        attrsText(p.attrs),
        "\"" + std::string(g.links->text(p.link)) + "\""};
    std::string out;
    for (size_t k = 0; k < std::size(kCellKeys); ++k)
        if (keys.find(kCellKeys[k]) != std::string::npos)
            out.append(out.empty() ? "" : " ").append(kCellKeys[k]).append(values[k]);
    return out;
}

// The expected words in the same order (a quoted value may hold spaces).
std::string canonical(const std::string& words) {
    std::string out;
    for (const char* key : kCellKeys) {
        size_t at = words.find(key);
        if (at == std::string::npos) continue;
        size_t end = at + strlen(key);
        end = end < words.size() && words[end] == '"' ? words.find('"', end + 1) + 1
                                                      : words.find(' ', end);
        out.append(out.empty() ? "" : " ").append(words, at, end - at);
    }
    return out;
}

// Every visible cell's text and look, for the snapshot round trip.
std::vector<std::string> visibleLooks(const Grid& g) {
    std::vector<std::string> out;
    for (int64_t i = 0; i < g.height; ++i) {
        Row row = g.screen.lines.row(screenTop(g) + i);
        std::string line;
        size_t n = row.size();
        // Trailing default blanks are the same as no cells.
        while (n > 0 && row.text(n - 1) == " " && normalized(row.pen(n - 1)) == Pen{})
            --n;
        for (size_t c = 0; c < n; ++c) {
            std::string cell = describe(g, row, c, "text= fg= bg= ul= attrs= link=");
            // A text emoji left narrow is repainted without its selector.
            if (size_t at = cell.find("\xef\xb8\x8f");
                at != std::string::npos && row[c].width() == 1)
                cell.erase(at, 3);
            line += cell + " | ";
        }
        out.push_back(line);
    }
    return out;
}

// Text against a pattern in which * stands for any text.
bool matches(std::string_view pattern, std::string_view text) {
    size_t star = pattern.find('*');
    if (star == std::string_view::npos) return pattern == text;
    if (!text.starts_with(pattern.substr(0, star))) return false;
    pattern.remove_prefix(star + 1);
    for (size_t from = star; from <= text.size(); ++from)
        if (matches(pattern, text.substr(from))) return true;
    return false;
}

std::string printable(const std::string& s) {
    std::string out;
    for (unsigned char b : s) {
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02x", b);
        out += b == 0x1b               ? "\\e"
               : b == '\r'             ? "\\r"
               : b == '\n'             ? "\\n"
               : b < 0x20 || b >= 0x7f ? hex
                                       : std::string(1, char(b));
    }
    return out;
}
// The parser's events as the scripts write them (see the top), adjacent
// text and string fragments joined, so that any cut gives the same.
struct EventLog {
    std::string out;
    bool inText = false, inPut = false;

    void event(const std::string& e) {
        if (!out.empty()) out += ' ';
        out += e;
        inText = inPut = false;
    }
    void joined(bool& open, const char* word, std::string_view text) {
        if (open) {
            out.insert(out.size() - 1, printable(std::string(text)));
            return;
        }
        event(std::string(word) + "(" + printable(std::string(text)) + ")");
        open = true;
    }
    static std::string sequence(const Sequence& s) {
        std::string t;
        parsing::appendParams(t, s, nullptr);
        if (s.malformed) t += '!';
        if (s.tooLarge) t += '^';
        for (size_t i = 0; i < s.intermediateCount && i < kMaxIntermediates; ++i)
            t += s.intermediates[i];
        if (s.intermediateCount > kMaxIntermediates) t += "+";
        return t + printable(std::string(1, s.final));
    }

    void print(std::string_view text) { joined(inText, "print", text); }
    void execute(uint8_t c) {
        char hex[8];
        snprintf(hex, sizeof hex, "c0(%02x)", c);
        event(hex);
    }
    void escDispatch(const Sequence& s) { event("esc(" + sequence(s) + ")"); }
    void csiDispatch(const Sequence& s) { event("csi(" + sequence(s) + ")"); }
    void stringBegin(StringKind kind, const Sequence& header) {
        static const char* const kNames[] = {"osc", "dcs", "sos", "pm", "apc"};
        std::string name = kNames[size_t(kind)];
        event("begin(" + (kind == StringKind::Dcs ? name + " " + sequence(header) : name) + ")");
    }
    void stringPut(std::string_view fragment) { joined(inPut, "put", fragment); }
    void stringEnd(bool terminated) { event(terminated ? "end(st)" : "end(cancel)"); }
};

// The events of bytes fed whole, or one at a time.
std::string parserEvents(const std::string& bytes, bool byteByByte) {
    Parser<EventLog> parser;
    EventLog log;
    if (byteByByte) {
        for (char b : bytes)
            parser.feed(std::string_view(&b, 1), log);
    } else {
        parser.feed(bytes, log);
    }
    if (!parser.inGround()) log.event("held(" + printable(parser.unfinished()) + ")");
    return log.out;
}

std::string penText(const Pen& pen) {
    Pen p = normalized(pen);
    return colourText(p.fg, p.fgIndex, p.fgRgb) + "/" + colourText(p.bg, p.bgIndex, p.bgRgb) + "/" +
           colourText(p.ul, p.ulIndex, p.ulRgb) + "/" + attrsText(p.attrs);
}

// The terminal state as the scripts name it.
std::vector<std::pair<std::string, std::string>> facts(const Terminal& t) {
    const Grid& g = t.grid();
    const Modes& m = t.modes();
    auto flag = [](bool b) { return std::string(b ? "1" : "0"); };
    static const char* const kMouse[] = {"0", "9", "1000", "1002", "1003"};
    static const char* const kCharsets[] = {"ascii", "drawing", "british"};
    std::string region = "none";
    if (regionActive(g))
        region = std::to_string(g.margins.top - screenTop(g) + 1) + "," +
                 std::to_string(g.margins.bottom - screenTop(g) + 1);
    std::string tabs;
    for (int64_t c = 1; c < g.cols; ++c)
        if (g.state.tabs.stops.test(size_t(c)))
            tabs += (tabs.empty() ? "" : ",") + std::to_string(c);
    // Everything a client's leaving must take back to how a terminal starts.
    std::string defaultTabs;
    for (int64_t c = 8; c < g.cols; c += 8)
        defaultTabs += (defaultTabs.empty() ? "" : ",") + std::to_string(c);
    bool defaults = !t.alternateScreen() && m == Modes() && normalized(g.state.pen) == Pen() &&
                    g.state.charsets == Charsets() && tabs == defaultTabs && !regionActive(g) &&
                    g.screen.keyboard.depth == 0;
    return {
        {"sync", flag(g.syncActive)},
        {"alt", flag(t.alternateScreen())},
        {"origin", flag(m.origin)},
        {"autowrap", flag(m.autowrap)},
        {"insert", flag(m.insert)},
        {"wrap", flag(g.cursor.pendingWrap)},
        {"hidden", flag(m.cursorHidden)},
        {"style", std::to_string(m.cursorStyle)},
        {"cursorkeys", flag(m.cursorKeys)},
        {"keypad", flag(m.keypad)},
        {"paste", flag(m.bracketedPaste)},
        {"focus", flag(m.focusEvents)},
        {"mouse", kMouse[size_t(m.mouse)]},
        {"mouseutf8", flag(m.mouseUtf8)},
        {"mousesgr", flag(m.mouseSgr)},
        {"mouseurxvt", flag(m.mouseUrxvt)},
        {"otherkeys", std::to_string(m.modifyOtherKeys)},
        {"keys", std::to_string(g.screen.keyboard.current())},
        {"keydepth", std::to_string(g.screen.keyboard.depth)},
        {"title", g.state.title},
        {"charset", kCharsets[size_t(g.state.charsets.active())]},
        {"pen", penText(g.state.pen)},
        {"region", region},
        {"tabs", tabs},
        {"historyend", std::to_string(t.historyEnd())},
        {"defaults", flag(defaults)},
    };
}

class Script {
  public:
    explicit Script(std::string file) : file_(std::move(file)) {}

    void line(int number, std::string text) {
        line_ = number;
        while (!text.empty() && text.back() == '\r')
            text.pop_back();
        if (text.empty() || text[0] == '#') return;
        if (text[0] == '|') return expectRow(int64_t(screenLines_++), text.substr(1));
        flushScreen();
        size_t sp = text.find(' ');
        std::string word = text.substr(0, sp),
                    rest = sp == std::string::npos ? "" : text.substr(sp + 1);
        try {
            if (word == "test") {
                finish();
                name_ = rest;
                start(20, 5, 100, false);
            } else if (!term_) {
                fail("a case must start with test");
            } else {
                step(word, rest);
            }
        } catch (const BadLine& e) {
            fail(e.what());
        }
    }

    void finish() {
        flushScreen();
        if (!term_) return;
        // The snapshot repaints the same screen on a fresh terminal.
        const Grid& g = term_->grid();
        Terminal fresh(g.cols, g.height, 0);
        fresh.resize(g.cols, g.height);
        fresh.write(term_->snapshot());
        check(visibleLooks(fresh.grid()) == visibleLooks(g), "the snapshot shows another screen");
        check(fresh.cursor() == term_->cursor() &&
                  fresh.grid().cursor.pendingWrap == g.cursor.pendingWrap,
              "the snapshot puts the cursor elsewhere");
        // A client that attached ends where the program's terminal ends.
        if (program_) {
            check(screenRows(g) == screenRows(program_->grid()),
                  "the attached client shows another screen");
            check(term_->cursor() == program_->cursor(), "the attached client's cursor differs");
            auto mine = facts(*term_), theirs = facts(*program_);
            for (size_t i = 0; i < mine.size(); ++i)
                check(mine[i] == theirs[i] || mine[i].first == "historyend",
                      "the attached client has " + mine[i].first + "=" + mine[i].second +
                          ", the program's terminal " + theirs[i].second);
        }
        // What a leaving client gets takes its terminal back to the
        // defaults, the cursor at the start of a line below the text.
        // Never a full reset, nor, on the main screen, a leave of the
        // alternate one, which would move the cursor on some terminals.
        std::string leaving = term_->leavingSequence();
        check(leaving.find("\x1b"
                           "c") == std::string::npos &&
                  (altShown(g) || leaving.find("\x1b[?1049l") == std::string::npos),
              "leaving resets too much: \"" + printable(leaving) + "\"");
        term_->write(leaving);
        std::vector<std::string> rows = screenRows(term_->grid());
        bool below = term_->cursor().col == 0;
        for (size_t r = size_t(term_->cursor().row.value); r < rows.size(); ++r)
            below = below && rows[r].empty();
        auto all = facts(*term_);
        bool defaults =
            std::find(all.begin(), all.end(),
                      std::pair<std::string, std::string>("defaults", "1")) != all.end();
        check(defaults && below, "leaving does not give the terminal back as it was");
        term_.reset();
        program_.reset();
        ++cases_;
    }
    int cases() const { return cases_; }

  private:
    // One line of a case: a word and what follows it.
    void step(const std::string& word, const std::string& rest) {
        if (word == "size") {
            auto [c, r] = twoNumbers(rest, "%dx%d", "bad size");
            int scrollback = 100;
            bool young = false;
            std::istringstream words(rest);
            std::string w;
            words >> w;  // the size itself
            while (words >> w) {
                if (w == "young")
                    young = true;
                else if (w != "scrollback" || !(words >> scrollback))
                    throw BadLine("bad size " + rest);
            }
            start(c, r, scrollback, young);
        } else if (word == "push" || word == "bytes") {
            std::string data = unquote(rest);
            for (Terminal* t : {term_.get(), program_.get()}) {
                if (t && word == "push") t->write(data);
                for (size_t i = 0; t && word == "bytes" && i < data.size(); ++i)
                    t->write(std::string_view(data).substr(i, 1));
            }
            takeAnswers();
        } else if (word == "row") {
            size_t q = rest.find(' ');
            std::string want = unquote(rest.substr(q + 1));
            expectRow(std::stoll(rest.substr(0, q)), want);
        } else if (word == "cursor") {
            twoNumbers(rest, "%d,%d", "bad cursor");
            ScreenPoint at = term_->cursor();
            std::string got = std::to_string(at.row.value) + "," + std::to_string(at.col);
            check(got == rest, "cursor " + got + ", expected " + rest);
        } else if (word == "cell") {
            auto [r, c] = twoNumbers(rest, "%d,%d", "bad cell");
            std::string want = canonical(unquote("\"" + rest.substr(rest.find(' ') + 1) + "\""));
            const Grid& g = term_->grid();
            std::string got = describe(g, g.screen.lines.row(screenTop(g) + r), size_t(c), want);
            check(got == want, "cell " + std::to_string(r) + "," + std::to_string(c) + ": " + got +
                                   ", expected " + want);
        } else if (word == "history") {
            expectNumber(word, historyLength(term_->grid().screen.lines, term_->grid().height),
                         rest);
        } else if (word == "unknown") {
            expectNumber(word, int64_t(term_->grid().unknownFunctions), rest);
        } else if (word == "state") {
            const auto all = facts(*term_);
            std::istringstream words(rest);
            for (std::string w; words >> w;) {
                size_t eq = w.find('=');
                auto f = std::find_if(all.begin(), all.end(),
                                      [&](const auto& f) { return w.substr(0, eq) == f.first; });
                if (eq == std::string::npos || f == all.end()) throw BadLine("bad state " + w);
                std::string got = f->first + "=" + f->second;
                check(got == w, "state " + got + ", expected " + w);
            }
        } else if (word == "answers") {
            takeAnswers();
            std::vector<std::string> want;
            for (size_t at = rest.find('"'), end; at != std::string::npos;
                 at = rest.find('"', end + 1)) {
                for (end = at + 1; end < rest.size() && rest[end] != '"';)
                    end += rest[end] == '\\' ? 2 : 1;
                want.push_back(unquote(rest.substr(at, end + 1 - at)));
            }
            bool same = want.size() == answers_.size();
            std::string got;
            for (size_t i = 0; i < answers_.size(); ++i) {
                got += " \"" + printable(answers_[i]) + "\"";
                same = same && matches(want[i], answers_[i]);
            }
            check(same, "answers" + got);
            answers_.clear();
        } else if (word == "leave") {
            term_->write(term_->leavingSequence());
            if (program_) program_->write(program_->leavingSequence());
        } else if (word == "attach") {
            if (!program_) program_ = std::move(term_);
            term_ = repainted(*program_);
        } else if (word == "repaint") {
            term_ = repainted(*term_);
        } else if (word == "snapshot" || word == "capture" || word == "transcript") {
            size_t q = rest.find('"');
            std::string want = unquote(q == std::string::npos ? "" : rest.substr(q));
            size_t budget = SIZE_MAX;
            int64_t from = 0, lines = -1;
            bool looks = false;
            std::istringstream words(rest.substr(0, q));
            for (std::string w; words >> w;) {
                if (w.starts_with("budget="))
                    budget = std::stoul(w.substr(7));
                else if (w.starts_with("from="))
                    from = std::stoll(w.substr(5));
                else if (w.starts_with("history="))
                    lines = std::stoll(w.substr(8));
                else if (w == "looks" || w == "text")
                    looks = w == "looks";
                else
                    throw BadLine("bad option " + w);
            }
            std::string got = word == "snapshot"     ? term_->snapshot(budget, from)
                              : word == "transcript" ? term_->transcript(budget)
                                                     : term_->capture(looks, lines);
            check(matches(want, got), word + " \"" + printable(got) + "\"");
        } else if (word == "resize") {
            auto [c, r] = twoNumbers(rest, "%dx%d", "bad size");
            term_->resize(c, r);
            if (program_) program_->resize(c, r);
        } else if (word == "parse") {
            std::string data = unquote(rest);
            events_ = parserEvents(data, false);
            std::string single = parserEvents(data, true);
            check(single == events_, "one byte at a time: " + single + ", whole: " + events_);
        } else if (word == "events") {
            check(events_ == rest, "events " + events_);
        } else {
            fail("unknown word " + word);
        }
    }

    void start(int cols, int rows, int scrollback, bool young) {
        term_ = std::make_unique<Terminal>(cols, rows, scrollback);
        program_.reset();
        answers_.clear();
        if (!young) term_->resize(cols, rows);
        screenLines_ = 0;
    }
    void expectRow(int64_t r, const std::string& want) {
        if (!term_) return fail("a case must start with test");
        std::string got = trimmed(rowText(term_->grid(), screenTop(term_->grid()) + r));
        check(got == trimmed(want),
              "row " + std::to_string(r) + ": \"" + got + "\", expected \"" + trimmed(want) + "\"");
    }
    void expectNumber(const std::string& word, int64_t got, const std::string& want) {
        check(std::to_string(got) == want, word + " " + std::to_string(got));
    }
    // After a block of | lines, the rows below it must be empty.
    void flushScreen() {
        if (!term_ || screenLines_ == 0) return;
        std::vector<std::string> rows = screenRows(term_->grid());
        for (size_t r = screenLines_; r < rows.size(); ++r)
            check(rows[r].empty(),
                  "row " + std::to_string(r) + ": \"" + rows[r] + "\", expected an empty row");
        screenLines_ = 0;
    }
    void check(bool ok, const std::string& what) {
        if (!ok) ADD_FAILURE() << file_ << ":" << line_ << ": " << name_ << ": " << what;
    }
    void fail(const std::string& what) { check(false, what); }
    // Takes the answers to the queries asked since the last time.
    void takeAnswers() {
        for (const Query& q : term_->takeQueries())
            answers_.push_back(q.answer);
        if (program_) program_->takeQueries();
    }
    static std::unique_ptr<Terminal> repainted(const Terminal& t) {
        auto client = std::make_unique<Terminal>(t.cols(), t.rows(), 100);
        client->resize(t.cols(), t.rows());
        client->write(t.snapshot());
        return client;
    }

    std::string file_, name_;
    int line_ = 0;
    std::unique_ptr<Terminal> term_;
    std::unique_ptr<Terminal> program_;  // the program's own terminal, after attach
    std::vector<std::string> answers_;
    std::string events_;  // the parser's, from the last parse
    size_t screenLines_ = 0;
    int cases_ = 0;
};

TEST(Scripts, EveryCaseHolds) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(SCREEN_TEST_DATA "/scripts"))
        if (entry.path().extension() == ".txt") files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());
    int cases = 0;
    for (const std::string& file : files) {
        std::ifstream in(file);
        Script script(file);
        int n = 0;
        for (std::string text; std::getline(in, text);)
            script.line(++n, text);
        script.finish();
        cases += script.cases();
    }
    EXPECT_GT(cases, 0);
}

}  // namespace
