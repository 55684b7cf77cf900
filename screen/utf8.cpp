#include "screen/utf8.h"

#include "screen/parser.h"

namespace screen {

Utf8Step decodeUtf8(std::string_view data, size_t pos) {
    auto byte = [&](size_t i) { return uint32_t(static_cast<unsigned char>(data[pos + i])); };
    uint32_t b0 = byte(0);
    size_t len = parsing::characterLength(static_cast<unsigned char>(b0));
    if (len == 1) return {int32_t(b0), 1, true};
    if (data.size() - pos < len) return {0xfffd, data.size() - pos, false};
    static constexpr uint32_t kLeadMask[7] = {0, 0, 0x1f, 0x0f, 0x07, 0x03, 0x01};
    uint32_t rune = b0 & kLeadMask[len];
    for (size_t i = 1; i < len; ++i)
        rune = (rune << 6) | (byte(i) & 0x3f);
    return {int32_t(rune), len, true};
}

void appendUtf8(std::string& out, int32_t rune) {
    uint32_t r = uint32_t(rune);
    if (r < 0x80) {
        out += char(r);
        return;
    }
    int len = r < 0x800 ? 2 : r < 0x10000 ? 3 : r < 0x200000 ? 4 : r < 0x4000000 ? 5 : 6;
    static constexpr unsigned char kLead[7] = {0, 0, 0xc0, 0xe0, 0xf0, 0xf8, 0xfc};
    char buf[6];
    for (int i = len - 1; i > 0; --i) {
        buf[i] = char(0x80 | (r & 0x3f));
        r >>= 6;
    }
    buf[0] = char(kLead[len] | r);
    out.append(buf, size_t(len));
}

std::string encodeUtf8(int32_t rune) {
    std::string s;
    appendUtf8(s, rune);
    return s;
}

}  // namespace screen
