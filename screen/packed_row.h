// The compact form of a row that has scrolled into the history: its text
// as UTF-8, runs of attributes, and the few cells that the text cannot
// describe, all in one allocation. An 80-column line of plain text takes
// about 110 bytes instead of 640. Internal to the line store.
#pragma once

#include <cstdint>
#include <string>

#include "screen/row.h"

namespace screen::detail {

class PackedRow {
  public:
    // The encoding of a row, prepared in scratch space before the packed
    // row is allocated.
    struct Encoding {
        const char* text;
        size_t textBytes;
        const char* runs;
        size_t runCount;
        std::string exceptions;
        size_t exceptionCount;
        size_t cells;
        bool looks;
        bool wrapped;
        size_t bytes() const;
    };
    // False when the row is too long for the format (it then stays
    // expanded; rows are bounded well below that). The encoding stays
    // valid until the next call on this thread.
    static bool encode(const Row& row, Encoding& out);
    // Writes the encoding into a packed row that has enc.bytes() bytes of
    // storage right behind it.
    void store(const Encoding& enc);

    Row unpack() const;
    void appendText(std::string& out) const;
    size_t cellCount() const { return cells_ & ~(kHasLooks | kWrapped); }
    bool wrapped() const { return cells_ & kWrapped; }

  private:
    const char* data() const { return reinterpret_cast<const char*>(this + 1); }
    char* data() { return reinterpret_cast<char*>(this + 1); }

    // Set in cells_ when the exceptions start with the row's table of
    // rare looks.
    static constexpr uint32_t kHasLooks = 0x80000000u;
    // Set in cells_ for a row the output wrapped from (Row::wrapped).
    static constexpr uint32_t kWrapped = 0x40000000u;

    uint32_t cells_ = 0;
    uint32_t textBytes_ = 0;
    uint16_t runs_ = 0;
    uint16_t exceptions_ = 0;
    uint32_t exceptionBytes_ = 0;
};

}  // namespace screen::detail
