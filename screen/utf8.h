// UTF-8 as the terminal reads it: lenient decoding that never rejects a
// byte, and an encoder for every code point the decoder can produce.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace screen {

// One decoding step at data[pos]. The lead byte alone fixes the length:
// continuation bytes are taken whatever they are, and stray bytes
// (0x80..0xBF, 0xFE, 0xFF) stand for the code point of their own value.
struct Utf8Step {
    int32_t rune;
    size_t length;
    bool complete;  // false: the data ends before the sequence does
};
Utf8Step decodeUtf8(std::string_view data, size_t pos);

// Appends the encoding of a code point: 1 to 6 bytes following the bit
// layout of the decoder, surrogates and values past U+10FFFF included.
void appendUtf8(std::string& out, int32_t rune);
std::string encodeUtf8(int32_t rune);

}  // namespace screen
