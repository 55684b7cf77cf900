// Recordings of real programs' output (bash, dialog, htop, vim, ...) fed in
// chunks of several sizes: the visible screen, the cursor and the screen in
// use must be those a real terminal (tmux) showed at the end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "screen/render.h"
#include "screen/terminal.h"
#include "tests/support/recordings.h"

using namespace screen;
using testsupport::kRecordings;
using testsupport::Recording;

namespace {

std::string trimmed(std::string s) {
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

TEST(Recordings, ScreensMatchARealTerminal) {
    for (const Recording& r : kRecordings) {
        std::string bytes = testsupport::recordingBytes(r);
        ASSERT_FALSE(bytes.empty()) << r.name;
        std::vector<std::string> expected = testsupport::recordingScreen(r);
        for (size_t chunk : {size_t(4096), size_t(1), size_t(7), size_t(100)}) {
            Terminal t(80, 24, 10000);
            t.resize(r.cols, r.rows);
            for (size_t pos = 0; pos < bytes.size(); pos += chunk)
                t.write(std::string_view(bytes).substr(pos, chunk));
            const Grid& g = t.grid();
            const LineIndex top = screenTop(g);
            for (int64_t row = 0; row < r.rows; ++row)
                EXPECT_EQ(trimmed(rowText(g, top + row)), expected[size_t(row)])
                    << r.name << " row " << row << " chunk " << chunk;
            EXPECT_EQ(g.cursor.row - top, r.cursorRow) << r.name;
            EXPECT_EQ(g.cursor.col, r.cursorCol) << r.name;
            EXPECT_EQ(altShown(g), r.alternate) << r.name;
        }
    }
}

}  // namespace
