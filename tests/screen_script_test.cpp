// Screen tests as data: scripts in tests/data/scripts/*.txt push bytes into
// a terminal and state what the screen must then hold. One case:
//
//   test REP repeats the character just written
//   size 20x5                 columns x rows (default 20x5), a new terminal
//   push "ab\e[3b"            one chunk; \e \r \n \t \\ \" \xNN as in C
//   bytes "..."               the same, fed one byte at a time
//   |abbbb                    the screen's rows from the top, one | line
//   |                         each (trailing blanks do not count; rows not
//                             given must be empty)
//   row 3 "text"              one screen row only
//   cursor 0,5                row,column on the screen
//   cell 0,1 fg=1 bg=rgb:102030 ul=idx:20 attrs=bold,curly text="b" link="x"
//                             a cell's look: the colours as kinds (0..16),
//                             idx:N or rgb:RRGGBB; attrs lists every style
//                             the cell has
//   history 2                 lines above the screen
//   unknown 1                 sequences of functions the table lacks
//   state sync=1 origin=0     facts of the terminal state, each 0 or 1:
//                             sync (an update is open), alt (the alternate
//                             screen), origin, autowrap, insert, wrap (a
//                             wrap is pending)
//   resize 30x5               a new size for the terminal
//   repaint                   goes on with a fresh terminal of the same
//                             size fed the snapshot: what a client that
//                             attaches now holds
//
// Each case also checks that its snapshot, fed to a fresh terminal of the
// same size, shows the same screen, looks included.
#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "screen/render.h"
#include "screen/terminal.h"

using namespace screen;

namespace {

std::string unquote(std::string_view q, std::string& error) {
    std::string out;
    if (q.size() < 2 || q.front() != '"' || q.back() != '"') {
        error = "expected a quoted text";
        return out;
    }
    q = q.substr(1, q.size() - 2);
    for (size_t i = 0; i < q.size(); ++i) {
        char c = q[i];
        if (c != '\\' || i + 1 == q.size()) {
            out += c;
            continue;
        }
        char e = q[++i];
        switch (e) {
            case 'e':
                out += '\x1b';
                break;
            case 'r':
                out += '\r';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'x':
                out += char(std::stoi(std::string(q.substr(i + 1, 2)), nullptr, 16));
                i += 2;
                break;
            default:
                out += e;
        }
    }
    return out;
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

struct StyleName {
    const char* name;
    uint16_t bits;
};
constexpr StyleName kStyles[] = {
    {"bold", kBold},
    {"dim", kDim},
    {"italic", kItalic},
    {"underline", kUnderline},
    {"double", kUnderline | kUnderlineDouble << kUnderlineStyleShift},
    {"curly", kUnderline | kUnderlineCurly << kUnderlineStyleShift},
    {"dotted", kUnderline | kUnderlineDotted << kUnderlineStyleShift},
    {"dashed", kUnderline | kUnderlineDashed << kUnderlineStyleShift},
    {"blink", kBlink},
    {"inverse", kInverse},
    {"strike", kStrike},
    {"conceal", kConceal},
    {"overline", kOverline},
};

std::string attrsText(uint16_t attrs) {
    std::string out;
    int style = Pen{0, 0, 0, 0, attrs}.underlineStyle();
    for (const StyleName& s : kStyles) {
        bool isUnderline = s.bits & kUnderline;
        bool has = isUnderline ? style == (s.bits == kUnderline ? kUnderlineSingle
                                                                : (s.bits & kUnderlineStyleMask) >>
                                                                      kUnderlineStyleShift)
                               : (attrs & s.bits) != 0;
        if (!has) continue;
        if (!out.empty()) out += ',';
        out += s.name;
    }
    return out;
}

// One cell's look as "key=value" words, in the order the scripts use.
std::string describe(const Grid& g, const Row& row, size_t col, const std::string& keys) {
    Pen p = col < row.size() ? normalized(row.pen(col)) : Pen{};
    std::string out;
    auto add = [&](const std::string& key, const std::string& value) {
        if (keys.find(key + "=") == std::string::npos) return;
        if (!out.empty()) out += ' ';
        out += key + "=" + value;
    };
    add("text", "\"" + (col < row.size() ? row.text(col) : std::string(" ")) + "\"");
    add("fg", colourText(p.fg, p.fgIndex, p.fgRgb));
    add("bg", colourText(p.bg, p.bgIndex, p.bgRgb));
    add("ul", colourText(p.ul, p.ulIndex, p.ulRgb));
    add("attrs", attrsText(p.attrs));
    add("link", "\"" + std::string(g.links->text(p.link)) + "\"");
    return out;
}

// The expected words in the same order.
std::string canonical(const std::string& words) {
    static const char* const kOrder[] = {"text=", "fg=", "bg=", "ul=", "attrs=", "link="};
    std::string out;
    for (const char* key : kOrder) {
        size_t at = words.find(key);
        if (at == std::string::npos) continue;
        size_t end = at + strlen(key);
        if (end < words.size() && words[end] == '"') {
            end = words.find('"', end + 1);
            end = end == std::string::npos ? words.size() : end + 1;
        } else {
            end = words.find(' ', end);
            if (end == std::string::npos) end = words.size();
        }
        if (!out.empty()) out += ' ';
        out += words.substr(at, end - at);
    }
    return out;
}

// Every visible cell's text and look, for the snapshot round trip.
std::vector<std::string> visibleLooks(const Grid& g) {
    std::vector<std::string> out;
    const std::string all = "text= fg= bg= ul= attrs= link=";
    for (int64_t i = 0; i < g.height; ++i) {
        Row row = g.lines.row(screenTop(g) + i);
        std::string line;
        size_t n = row.size();
        // Trailing default blanks are the same as no cells.
        while (n > 0 && row.text(n - 1) == " " && normalized(row.pen(n - 1)) == Pen{})
            --n;
        for (size_t c = 0; c < n; ++c) {
            std::string cell = describe(g, row, c, all);
            // A text emoji left narrow is repainted without its selector.
            if (size_t at = cell.find("\xef\xb8\x8f"); at != std::string::npos && row[c].width() == 1)
                cell.erase(at, 3);
            line += cell + " | ";
        }
        out.push_back(line);
    }
    return out;
}

class Script {
  public:
    Script(std::string file) : file_(std::move(file)) {}

    void line(int number, const std::string& text) {
        line_ = number;
        std::string trimmedText = text;
        while (!trimmedText.empty() && (trimmedText.back() == '\r'))
            trimmedText.pop_back();
        if (trimmedText.empty() || trimmedText[0] == '#') return;
        if (trimmedText[0] == '|') {
            expectRow(int64_t(screenLines_++), trimmedText.substr(1));
            return;
        }
        flushScreen();
        size_t sp = trimmedText.find(' ');
        std::string word = trimmedText.substr(0, sp);
        std::string rest = sp == std::string::npos ? "" : trimmedText.substr(sp + 1);
        if (word == "test") {
            finish();
            name_ = rest;
            start(20, 5);
        } else if (!term_) {
            fail("a case must start with test");
        } else if (word == "size") {
            int c = 0, r = 0;
            if (sscanf(rest.c_str(), "%dx%d", &c, &r) != 2) return fail("bad size");
            start(c, r);
        } else if (word == "push" || word == "bytes") {
            std::string error, data = unquote(rest, error);
            if (!error.empty()) return fail(error);
            if (word == "push") {
                term_->write(data);
            } else {
                for (char b : data)
                    term_->write(std::string_view(&b, 1));
            }
        } else if (word == "row") {
            size_t q = rest.find(' ');
            std::string error, want = unquote(rest.substr(q + 1), error);
            if (!error.empty()) return fail(error);
            expectRow(std::stoll(rest.substr(0, q)), want);
        } else if (word == "cursor") {
            int r = 0, c = 0;
            if (sscanf(rest.c_str(), "%d,%d", &r, &c) != 2) return fail("bad cursor");
            const Grid& g = term_->grid();
            std::string got =
                std::to_string(g.cursor.row - screenTop(g)) + "," + std::to_string(g.cursor.col);
            check(got == rest, "cursor " + got + ", expected " + rest);
        } else if (word == "cell") {
            int r = 0, c = 0;
            if (sscanf(rest.c_str(), "%d,%d", &r, &c) != 2) return fail("bad cell");
            std::string want = canonical(rest.substr(rest.find(' ') + 1));
            const Grid& g = term_->grid();
            Row row = g.lines.row(screenTop(g) + r);
            std::string got = describe(g, row, size_t(c), want);
            check(got == want, "cell " + std::to_string(r) + "," + std::to_string(c) + ": " + got +
                                   ", expected " + want);
        } else if (word == "history") {
            int64_t got = screenTop(term_->grid());
            check(std::to_string(got) == rest, "history " + std::to_string(got));
        } else if (word == "state") {
            const Grid& g = term_->grid();
            const std::pair<const char*, bool> facts[] = {
                {"sync", g.syncActive},       {"alt", g.alt.active},
                {"origin", g.modes.origin},   {"autowrap", g.modes.autowrap},
                {"insert", g.modes.insert},   {"wrap", g.cursor.pendingWrap},
            };
            std::istringstream words(rest);
            for (std::string w; words >> w;) {
                size_t eq = w.find('=');
                const auto* f = std::find_if(std::begin(facts), std::end(facts), [&](const auto& f) {
                    return w.substr(0, eq) == f.first;
                });
                if (eq == std::string::npos || f == std::end(facts)) return fail("bad state " + w);
                std::string got = w.substr(0, eq) + "=" + (f->second ? "1" : "0");
                check(got == w, "state " + got + ", expected " + w);
            }
        } else if (word == "repaint") {
            const Grid& g = term_->grid();
            auto client = std::make_unique<Terminal>(g.cols, g.height, 100);
            client->resize(g.cols, g.height);
            client->write(term_->snapshot());
            term_ = std::move(client);
        } else if (word == "resize") {
            int c = 0, r = 0;
            if (sscanf(rest.c_str(), "%dx%d", &c, &r) != 2) return fail("bad size");
            term_->resize(c, r);
        } else if (word == "unknown") {
            uint64_t got = term_->grid().unknownFunctions;
            check(std::to_string(got) == rest, "unknown " + std::to_string(got));
        } else {
            fail("unknown word " + word);
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
        check(fresh.grid().cursor.row - screenTop(fresh.grid()) == g.cursor.row - screenTop(g) &&
                  fresh.grid().cursor.col == g.cursor.col,
              "the snapshot puts the cursor elsewhere");
        term_.reset();
        ++cases_;
    }
    int cases() const { return cases_; }

  private:
    void start(int cols, int rows) {
        term_ = std::make_unique<Terminal>(cols, rows, 100);
        term_->resize(cols, rows);
        screenLines_ = 0;
        screenGiven_ = false;
    }
    void expectRow(int64_t r, const std::string& want) {
        if (!term_) return fail("a case must start with test");
        screenGiven_ = screenGiven_ || screenLines_ > 0;
        std::string got = trimmed(rowText(term_->grid(), screenTop(term_->grid()) + r));
        check(got == trimmed(want),
              "row " + std::to_string(r) + ": \"" + got + "\", expected \"" + trimmed(want) + "\"");
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

    std::string file_, name_;
    int line_ = 0;
    std::unique_ptr<Terminal> term_;
    size_t screenLines_ = 0;
    bool screenGiven_ = false;
    int cases_ = 0;
};

std::vector<std::string> scriptFiles() {
    std::vector<std::string> files;
    std::string dir = std::string(SCREEN_TEST_DATA) + "/scripts";
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > 4 && name.substr(name.size() - 4) == ".txt")
                files.push_back(dir + "/" + name);
        }
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST(Scripts, EveryCaseHolds) {
    std::vector<std::string> files = scriptFiles();
    ASSERT_FALSE(files.empty());
    int cases = 0;
    for (const std::string& file : files) {
        std::ifstream in(file);
        Script script(file);
        std::string text;
        for (int n = 1; std::getline(in, text); ++n)
            script.line(n, text);
        script.finish();
        cases += script.cases();
    }
    EXPECT_GT(cases, 0);
}

}  // namespace
