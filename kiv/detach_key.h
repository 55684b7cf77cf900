// The key that detaches an attach client: Ctrl-G unless KIV_DETACH_KEY names
// another control key in ^X notation, or "none".
#pragma once

#include <optional>
#include <string_view>

namespace kiv {

inline constexpr const char* DetachKeyVar = "KIV_DETACH_KEY";

struct DetachKey {
    // The control character (0x00..0x1f or 0x7f); nothing when detaching by
    // key is off.
    std::optional<unsigned char> control = 0x07;
};

// Reads a KIV_DETACH_KEY value: "^" and a character ("^G", "^g", "^]",
// "^\"), one control character as it is, or "none"; an empty value is the
// default. Raises UsageError for anything else, and for the keys every
// program needs (^M, ^J, ^[, ^I, ^H, ^?, ^C), saying why.
DetachKey parseDetachKey(std::string_view text);

// The setting from the environment; raises UsageError for a bad value.
DetachKey detachKeyFromEnvironment();

// True when one read of the keyboard is the detach key and nothing else: the
// control character itself, or the key as a terminal reports it once the
// program has turned on the kitty keyboard protocol ("CSI 103;5u" for
// Ctrl-G) or modifyOtherKeys ("CSI 27;5;103~"). With other bytes in the same
// read (a paste) it is input like any other.
bool isDetachKey(const DetachKey& key, std::string_view input);

}  // namespace kiv
