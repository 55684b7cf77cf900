#include "screen/sgr.h"

#include "screen/params.h"

namespace screen {

namespace {

// Walks the fields of the parameter text, keeping the next few at hand
// for the extended-colour forms, without allocating.
class Fields {
  public:
    explicit Fields(std::string_view text) : text_(text) {}
    // Field i positions ahead of the current one, if it exists.
    bool has(size_t ahead) {
        fill(ahead);
        return ahead < count_;
    }
    std::string_view at(size_t ahead) {
        fill(ahead);
        return window_[(first_ + ahead) % kWindow];
    }
    void skip(size_t n) {
        for (size_t i = 0; i < n && !empty(); ++i) {
            first_ = (first_ + 1) % kWindow;
            --count_;
        }
    }
    bool empty() {
        fill(0);
        return count_ == 0;
    }

  private:
    static constexpr size_t kWindow = 8;
    void fill(size_t ahead) {
        while (count_ <= ahead && !done_) {
            size_t semi = text_.find(';', pos_);
            std::string_view f =
                text_.substr(pos_, semi == std::string_view::npos ? semi : semi - pos_);
            window_[(first_ + count_) % kWindow] = f;
            ++count_;
            if (semi == std::string_view::npos)
                done_ = true;
            else
                pos_ = semi + 1;
        }
    }
    std::string_view text_;
    size_t pos_ = 0;
    bool done_ = false;
    std::string_view window_[kWindow];
    size_t first_ = 0, count_ = 0;
};

void resetPen(Grid& g) {
    g.fg = 0;
    g.bg = 0;
    g.attrs = 0;
}

// 38 or 48 at the current field; returns how many fields it consumed.
size_t extendedColor(Fields& f, uint8_t& kind, uint8_t& index) {
    if (f.has(2) && f.at(1) == "5") {
        std::optional<int64_t> v = readDecimal(f.at(2));
        if (v && *v >= 0 && *v <= 255) {
            if (*v <= 15) {
                kind = uint8_t(*v + 1);
                index = 0;
            } else {
                kind = kColorIndexed;
                index = uint8_t(*v);
            }
        }
        return 3;
    }
    if (f.has(4) && f.at(1) == "2") {
        kind = kColorDirect;
        return 5;
    }
    return 1;
}

}  // namespace

void applySgr(Grid& g, std::string_view params) {
    if (params.empty()) {
        resetPen(g);
        return;
    }
    Fields f(params);
    while (!f.empty()) {
        std::string_view field = f.at(0);
        if (field.empty()) {
            resetPen(g);
            f.skip(1);
            continue;
        }
        std::optional<int64_t> v = readDecimal(field);
        if (!v) {
            f.skip(1);
            continue;
        }
        int64_t c = *v;
        size_t used = 1;
        if (c == 0) {
            resetPen(g);
        } else if (c == 1) {
            g.attrs |= kBold;
        } else if (c == 2) {
            g.attrs |= kDim;
        } else if (c == 3) {
            g.attrs |= kItalic;
        } else if (c == 4) {
            g.attrs |= kUnderline;
        } else if (c == 5 || c == 6) {
            g.attrs |= kBlink;
        } else if (c == 7) {
            g.attrs |= kInverse;
        } else if (c == 9) {
            g.attrs |= kStrike;
        } else if (c == 22) {
            g.attrs &= uint16_t(~(kBold | kDim));
        } else if (c == 23) {
            g.attrs &= uint16_t(~kItalic);
        } else if (c == 24) {
            g.attrs &= uint16_t(~kUnderline);
        } else if (c == 25) {
            g.attrs &= uint16_t(~kBlink);
        } else if (c == 27) {
            g.attrs &= uint16_t(~kInverse);
        } else if (c == 29) {
            g.attrs &= uint16_t(~kStrike);
        } else if (c >= 30 && c <= 37) {
            g.fg = uint8_t(c - 29);
        } else if (c == 38) {
            used = extendedColor(f, g.fg, g.fgIndex);
        } else if (c == 39) {
            g.fg = 0;
            g.fgIndex = 0;
        } else if (c >= 40 && c <= 47) {
            g.bg = uint8_t(c - 39);
            g.bgIndex = 0;
        } else if (c == 48) {
            used = extendedColor(f, g.bg, g.bgIndex);
        } else if (c == 49) {
            g.bg = 0;
            g.bgIndex = 0;
        } else if (c >= 90 && c <= 97) {
            g.fg = uint8_t(c - 81);
        } else if (c >= 100 && c <= 107) {
            g.bg = uint8_t(c - 91);
        }
        f.skip(used);
    }
}

}  // namespace screen
