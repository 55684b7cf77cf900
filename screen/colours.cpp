#include "screen/colours.h"

#include <optional>
#include <vector>

namespace screen {

namespace {

// Longer than any colour a terminal takes ("rgb:ffff/ffff/ffff",
// "#rrrrggggbbbb", a colour's name): past it, the text is not kept.
constexpr size_t MaxColourText = 64;
constexpr int PaletteSize = 256;

std::vector<std::string_view> fields(std::string_view text) {
    std::vector<std::string_view> out;
    for (;;) {
        size_t semi = text.find(';');
        out.push_back(text.substr(0, semi));
        if (semi == std::string_view::npos) return out;
        text.remove_prefix(semi + 1);
    }
}

std::optional<int> paletteIndex(std::string_view text) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    int n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n < PaletteSize ? std::optional<int>(n) : std::nullopt;
}

bool isColour(std::string_view text) {
    return !text.empty() && text != "?" && text.size() <= MaxColourText;
}

void appendOsc(std::string& out, std::string_view body) {
    out += "\x1b]";
    out += body;
    out += "\x1b\\";
}

}  // namespace

bool setColours(Colours& c, int code, std::string_view params) {
    std::vector<std::string_view> p = fields(params);
    if (code == 4) {
        // Pairs of index and colour.
        for (size_t i = 0; i + 1 < p.size(); i += 2) {
            std::optional<int> index = paletteIndex(p[i]);
            if (index && isColour(p[i + 1])) c.palette[*index] = std::string(p[i + 1]);
        }
    } else if (code >= 10 && code <= 12) {
        // Each further colour sets the next code: OSC 10 ; fg ; bg ; cursor.
        for (size_t i = 0; i < p.size() && code + i <= 12; ++i)
            if (isColour(p[i])) c.dynamic[code - 10 + i] = std::string(p[i]);
    } else if (code == 104) {
        if (params.empty()) {
            c.palette.clear();
        } else {
            for (std::string_view field : p)
                if (std::optional<int> index = paletteIndex(field)) c.palette.erase(*index);
        }
    } else if (code >= 110 && code <= 112) {
        c.dynamic[code - 110].clear();
    } else {
        return false;
    }
    return true;
}

void appendColours(std::string& out, const Colours& c) {
    for (int i = 0; i < 3; ++i)
        if (!c.dynamic[i].empty()) appendOsc(out, std::to_string(10 + i) + ";" + c.dynamic[i]);
    for (const auto& [index, colour] : c.palette)
        appendOsc(out, "4;" + std::to_string(index) + ";" + colour);
}

void appendColourReset(std::string& out, const Colours& c) {
    for (int i = 0; i < 3; ++i)
        if (!c.dynamic[i].empty()) appendOsc(out, std::to_string(110 + i));
    if (!c.palette.empty()) appendOsc(out, "104");
}

}  // namespace screen
