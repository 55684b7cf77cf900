#include "workloads.h"

#include <algorithm>
#include <cstdio>

namespace bench {

Libvterm libvterm;

namespace {

std::string textLine(int n) {
    std::string s;
    for (int i = 0; i < 80; ++i)
        s += char(0x21 + (n * 7 + i * 13) % 94);
    return s;
}

}  // namespace

std::string plainText(int lines) {
    std::string out;
    for (int n = 0; n < lines; ++n)
        out += textLine(n) + "\r\n";
    return out;
}

std::string colourText(int lines, int every) {
    std::string out;
    for (int n = 0; n < lines; ++n) {
        std::string line = textLine(n);
        for (int i = 0; i < 80; i += every) {
            int c = (n * 31 + i * 7) % 256;
            out += "\x1b[38;5;" + std::to_string(c);
            if (i % (4 * every) == 0) out += ";48;5;" + std::to_string((c * 3) % 256);
            out += "m" + line.substr(size_t(i), size_t(every));
        }
        out += "\x1b[0m\r\n";
    }
    return out;
}

std::string directColourText(int lines, int every) {
    std::string out;
    for (int n = 0; n < lines; ++n) {
        std::string line = textLine(n);
        for (int i = 0; i < 80; i += every) {
            int c = (n * 31 + i * 7) % 256;
            out += "\x1b[38;2;" + std::to_string(c) + ";" + std::to_string(255 - c) + ";" +
                   std::to_string((c * 5) % 256);
            if (i % (4 * every) == 0) out += ";48;2;" + std::to_string((c * 3) % 256) + ";40;80";
            out += "m" + line.substr(size_t(i), size_t(every));
        }
        out += "\x1b[0m\r\n";
    }
    return out;
}

std::string highlightedText(int lines) {
    // Tokens of 3 to 9 characters, each with its own colour and style, as
    // syntax highlighting, colour ls or diffs write them.
    static const char* const kForms[] = {"\x1b[1;34m", "\x1b[0m",    "\x1b[38;5;%dm",   "\x1b[32m",
                                         "\x1b[4;33m", "\x1b[0;35m", "\x1b[38;5;%d;1m", "\x1b[m"};
    std::string out;
    int k = 0;
    for (int n = 0; n < lines; ++n) {
        std::string line = textLine(n);
        for (size_t i = 0; i < line.size(); ++k) {
            size_t len = std::min<size_t>(3 + size_t(k % 7), line.size() - i);
            char seq[32];
            std::snprintf(seq, sizeof seq, kForms[k % 8], 16 + (k * 37) % 240);
            out += seq;
            out += line.substr(i, len);
            i += len;
        }
        out += "\x1b[0m\r\n";
    }
    return out;
}

std::string wordColourText(int lines) {
    unsigned seed = 2;
    auto next = [&seed](unsigned range) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % range;
    };
    std::string out;
    for (int n = 0; n < lines; ++n) {
        int width = 0;
        while (width < 80) {
            int len = std::min(1 + int(next(9)), 80 - width - (width ? 1 : 0));
            if (len <= 0) {
                out += std::string(size_t(80 - width), 'x');
                break;
            }
            if (width) {
                out += ' ';
                ++width;
            }
            unsigned fg = next(256), bg = next(256);
            char sgr[48];
            switch (next(6)) {
                case 0:
                    std::snprintf(sgr, sizeof sgr, "38;5;%u", fg);
                    break;
                case 1:
                    std::snprintf(sgr, sizeof sgr, "1;38;5;%u", fg);
                    break;
                case 2:
                    std::snprintf(sgr, sizeof sgr, "4;38;5;%u;48;5;%u", fg, bg);
                    break;
                case 3:
                    std::snprintf(sgr, sizeof sgr, "1;4;3%u", fg % 8);
                    break;
                case 4:
                    std::snprintf(sgr, sizeof sgr, "7;38;5;%u", fg);
                    break;
                default:
                    std::snprintf(sgr, sizeof sgr, "22;24;9%u;48;5;%u", fg % 8, bg);
                    break;
            }
            out += "\x1b[" + std::string(sgr) + "m";
            for (int i = 0; i < len; ++i)
                out += char('a' + next(26));
            out += "\x1b[0m";
            width += len;
        }
        out += "\r\n";
    }
    return out;
}

namespace {

std::string frame(int f) {
    std::string out;
    for (int row = 1; row <= 24; ++row) {
        out += "\x1b[" + std::to_string(row) + ";1H";
        if (row % 6 == 0) out += "\x1b[7m";
        out += textLine(f + row).substr(0, 60);
        if (row % 6 == 0) out += "\x1b[0m";
        out += "\x1b[K";
    }
    return out;
}

}  // namespace

std::string redrawFrames(int frames) {
    std::string out;
    for (int f = 0; f < frames; ++f)
        out += frame(f);
    return out;
}

std::string syncFrames(int frames) {
    std::string out;
    for (int f = 0; f < frames; ++f)
        out += "\x1b[?2026h" + frame(f) + "\x1b[?2026l";
    return out;
}

}  // namespace bench
