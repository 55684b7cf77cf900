// Recordings of real programs' output (bash, dialog, htop, vim, ...) in
// tests/data, each with the size it was recorded at and what a real
// terminal (tmux) showed at its end. Header only: the screen library's
// tests use it without the rest of the support library. The includer
// defines SCREEN_TEST_DATA, the data directory.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

struct Recording {
    const char* name;
    int cols, rows;
    int cursorCol, cursorRow;  // where the cursor was at the end
    bool alternate;            // the alternate screen was shown at the end
};

inline constexpr Recording kRecordings[] = {
    {"bash_tab_bel", 80, 24, 19, 5, false},  {"dialog_msgbox", 80, 24, 37, 14, false},
    {"htop_120x40", 120, 40, 81, 39, true},  {"scroll_region", 80, 24, 0, 23, false},
    {"tput_script", 80, 24, 0, 23, false},   {"unicode_wide", 80, 24, 0, 17, false},
    {"vim_nu_search", 80, 24, 39, 17, true}, {"python_repl", 80, 24, 4, 19, false},
};

inline std::string recordingFile(const Recording& r, const std::string& suffix) {
    std::ifstream f(std::string(SCREEN_TEST_DATA "/") + r.name + suffix, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The program's output as recorded.
inline std::string recordingBytes(const Recording& r) {
    return recordingFile(r, ".bin");
}

// The rows the real terminal showed, trailing blanks left out, as many as
// the recording's height.
inline std::vector<std::string> recordingScreen(const Recording& r) {
    std::vector<std::string> rows;
    std::istringstream text(recordingFile(r, ".tmux.txt"));
    for (std::string line; std::getline(text, line);) {
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        rows.push_back(line);
    }
    rows.resize(size_t(r.rows));
    return rows;
}

}  // namespace testsupport
