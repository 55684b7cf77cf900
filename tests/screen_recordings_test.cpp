// Recordings of real programs' output (bash, dialog, htop, vim, ...) fed in
// chunks of several sizes: the visible screen, the cursor and the screen in
// use must be those a real terminal (tmux) showed at the end.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "screen/render.h"
#include "screen/terminal.h"

using namespace screen;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string trimmed(std::string s) {
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

struct Recording {
    const char* name;
    int64_t cols, rows;
    int64_t cursorCol, cursorRow;
    bool alternate;
};

const Recording kRecordings[] = {
    {"bash_tab_bel", 80, 24, 19, 5, false},  {"dialog_msgbox", 80, 24, 37, 14, false},
    {"htop_120x40", 120, 40, 81, 39, true},  {"scroll_region", 80, 24, 0, 23, false},
    {"tput_script", 80, 24, 0, 23, false},   {"unicode_wide", 80, 24, 0, 17, false},
    {"vim_nu_search", 80, 24, 39, 17, true}, {"python_repl", 80, 24, 4, 19, false},
};

TEST(Recordings, ScreensMatchARealTerminal) {
    for (const Recording& r : kRecordings) {
        std::string dir = SCREEN_TEST_DATA "/";
        std::string bytes = slurp(dir + r.name + ".bin");
        ASSERT_FALSE(bytes.empty()) << r.name;
        std::vector<std::string> expected;
        std::istringstream text(slurp(dir + r.name + ".tmux.txt"));
        for (std::string line; std::getline(text, line);)
            expected.push_back(trimmed(line));
        expected.resize(size_t(r.rows));
        for (size_t chunk : {size_t(4096), size_t(1), size_t(7), size_t(100)}) {
            Terminal t(80, 24, 10000);
            t.resize(r.cols, r.rows);
            for (size_t pos = 0; pos < bytes.size(); pos += chunk)
                t.write(std::string_view(bytes).substr(pos, chunk));
            const Grid& g = t.grid();
            int64_t top = screenTop(g);
            for (int64_t row = 0; row < r.rows; ++row)
                EXPECT_EQ(trimmed(rowText(g, top + row)), expected[size_t(row)])
                    << r.name << " row " << row << " chunk " << chunk;
            EXPECT_EQ(g.cursor.row - top, r.cursorRow) << r.name;
            EXPECT_EQ(g.cursor.col, r.cursorCol) << r.name;
            EXPECT_EQ(g.alt.active, r.alternate) << r.name;
        }
    }
}

}  // namespace
