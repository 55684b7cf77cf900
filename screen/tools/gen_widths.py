#!/usr/bin/python3
"""Writes screen/widths_table.h: the columns a code point takes, as the C
library's wcwidth reports them in a UTF-8 locale, so that kiv's model keeps
the widths terminals use whatever locale the daemon runs in.

    python3 screen/tools/gen_widths.py > screen/widths_table.h

The table comes from this machine's C library (C.UTF-8), brought up to
Unicode 15 with the code points Unicode 15 added (the list below), since a C
library a release behind lacks them. wcwidth's -1 (unassigned, controls)
counts as 1: a terminal still moves the cursor for such a character.
"""
import ctypes
import sys

LC_CTYPE = 0
libc = ctypes.CDLL("libc.so.6")
libc.setlocale.restype = ctypes.c_char_p
libc.setlocale.argtypes = [ctypes.c_int, ctypes.c_char_p]
if not libc.setlocale(LC_CTYPE, b"C.UTF-8"):
    sys.exit("gen_widths: no C.UTF-8 locale")
wcwidth = libc.wcwidth
wcwidth.argtypes = [ctypes.c_uint32]

# Added in Unicode 15.0: wide emoji and CJK Extension H, and new
# non-spacing marks.
UNICODE15_WIDE = [
    (0x1F6DC, 0x1F6DC), (0x1FA75, 0x1FA77), (0x1FA87, 0x1FA88), (0x1FAAD, 0x1FAAF),
    (0x1FABB, 0x1FABD), (0x1FABF, 0x1FABF), (0x1FACE, 0x1FACF), (0x1FADA, 0x1FADB),
    (0x1FAE8, 0x1FAE8), (0x1FAF7, 0x1FAF8), (0x31350, 0x323AF),
]
UNICODE15_ZERO = [
    (0x10EFD, 0x10EFF), (0x11241, 0x11241), (0x11F00, 0x11F01), (0x11F36, 0x11F3A),
    (0x11F40, 0x11F40), (0x11F42, 0x11F42), (0x13440, 0x13440), (0x13447, 0x13455),
    (0x1E08F, 0x1E08F), (0x1E4EC, 0x1E4EF),
]
# Characters shown as text by default that a variation selector 16 turns
# into a two-column emoji (the text-presentation emoji outside ASCII).
EMOJI_TEXT = [
    (0x00A9, 0x00A9), (0x00AE, 0x00AE), (0x203C, 0x203C), (0x2049, 0x2049),
    (0x2122, 0x2122), (0x2139, 0x2139), (0x2194, 0x2199), (0x21A9, 0x21AA),
    (0x2328, 0x2328), (0x23CF, 0x23CF), (0x23ED, 0x23EF), (0x23F1, 0x23F2),
    (0x23F8, 0x23FA), (0x24C2, 0x24C2), (0x25AA, 0x25AB), (0x25B6, 0x25B6),
    (0x25C0, 0x25C0), (0x25FB, 0x25FC), (0x2600, 0x2604), (0x260E, 0x260E),
    (0x2611, 0x2611), (0x2618, 0x2618), (0x261D, 0x261D), (0x2620, 0x2620),
    (0x2622, 0x2623), (0x2626, 0x2626), (0x262A, 0x262A), (0x262E, 0x262F),
    (0x2638, 0x263A), (0x2640, 0x2640), (0x2642, 0x2642), (0x265F, 0x2660),
    (0x2663, 0x2663), (0x2665, 0x2666), (0x2668, 0x2668), (0x267B, 0x267B),
    (0x267E, 0x267E), (0x2692, 0x2692), (0x2694, 0x2697), (0x2699, 0x2699),
    (0x269B, 0x269C), (0x26A0, 0x26A0), (0x26A7, 0x26A7), (0x26B0, 0x26B1),
    (0x26C8, 0x26C8), (0x26CF, 0x26CF), (0x26D1, 0x26D1), (0x26D3, 0x26D3),
    (0x26E9, 0x26E9), (0x26F0, 0x26F1), (0x26F4, 0x26F4), (0x26F7, 0x26F9),
    (0x2702, 0x2702), (0x2708, 0x2709), (0x270C, 0x270D), (0x270F, 0x270F),
    (0x2712, 0x2712), (0x2714, 0x2714), (0x2716, 0x2716), (0x271D, 0x271D),
    (0x2721, 0x2721), (0x2733, 0x2734), (0x2744, 0x2744), (0x2747, 0x2747),
    (0x2763, 0x2764), (0x27A1, 0x27A1), (0x2934, 0x2935), (0x2B05, 0x2B07),
    (0x3030, 0x3030), (0x303D, 0x303D), (0x3297, 0x3297), (0x3299, 0x3299),
    (0x1F170, 0x1F171), (0x1F17E, 0x1F17F), (0x1F202, 0x1F202), (0x1F237, 0x1F237),
    (0x1F321, 0x1F321), (0x1F324, 0x1F32C), (0x1F336, 0x1F336), (0x1F37D, 0x1F37D),
    (0x1F396, 0x1F397), (0x1F399, 0x1F39B), (0x1F39E, 0x1F39F), (0x1F3CB, 0x1F3CE),
    (0x1F3D4, 0x1F3DF), (0x1F3F3, 0x1F3F3), (0x1F3F5, 0x1F3F5), (0x1F3F7, 0x1F3F7),
    (0x1F43F, 0x1F43F), (0x1F441, 0x1F441), (0x1F4FD, 0x1F4FD), (0x1F549, 0x1F54A),
    (0x1F56F, 0x1F570), (0x1F573, 0x1F579), (0x1F587, 0x1F587), (0x1F58A, 0x1F58D),
    (0x1F590, 0x1F590), (0x1F5A5, 0x1F5A5), (0x1F5A8, 0x1F5A8), (0x1F5B1, 0x1F5B2),
    (0x1F5BC, 0x1F5BC), (0x1F5C2, 0x1F5C4), (0x1F5D1, 0x1F5D3), (0x1F5DC, 0x1F5DE),
    (0x1F5E1, 0x1F5E1), (0x1F5E3, 0x1F5E3), (0x1F5E8, 0x1F5E8), (0x1F5EF, 0x1F5EF),
    (0x1F5F3, 0x1F5F3), (0x1F5FA, 0x1F5FA), (0x1F6CB, 0x1F6CB), (0x1F6CD, 0x1F6CF),
    (0x1F6E0, 0x1F6E5), (0x1F6E9, 0x1F6E9), (0x1F6F0, 0x1F6F0), (0x1F6F3, 0x1F6F3),
]


def inside(ranges, c):
    return any(a <= c <= b for a, b in ranges)


def ranges_of(predicate):
    out = []
    start = None
    for c in range(0x110000):
        if predicate(c):
            if start is None:
                start = c
        elif start is not None:
            out.append((start, c - 1))
            start = None
    if start is not None:
        out.append((start, 0x10FFFF))
    return out


def width(c):
    if inside(UNICODE15_WIDE, c):
        return 2
    if inside(UNICODE15_ZERO, c):
        return 0
    w = wcwidth(c)
    return 1 if w < 0 else w


def table(name, ranges, doc):
    lines = [f"// {doc}", f"inline constexpr WidthRange {name}[] = {{"]
    row = []
    for a, b in ranges:
        row.append(f"{{0x{a:x}, 0x{b:x}}},")
        if len(row) == 4:
            lines.append("    " + " ".join(row))
            row = []
    if row:
        lines.append("    " + " ".join(row))
    lines.append("};")
    return "\n".join(lines)


widths = [width(c) for c in range(0x110000)]
# Code points below U+0300 are never zero-width or wide; the C0 and C1
# controls never reach the table.
zero = [(a, b) for a, b in ranges_of(lambda c: widths[c] == 0) if a >= 0x300 or b >= 0x300]
zero = [(max(a, 0x300), b) for a, b in zero]
wide = ranges_of(lambda c: widths[c] == 2)
print("// Generated by screen/tools/gen_widths.py from the C library's wcwidth in")
print("// C.UTF-8, brought up to Unicode 15; do not edit.")
print("#pragma once")
print()
print("#include <cstdint>")
print()
print("namespace screen {")
print()
print("struct WidthRange {")
print("    int32_t from, to;")
print("};")
print()
print(table("kZeroWidth", zero, "Zero columns: combining marks, format characters, Hangul vowels and finals."))
print()
print(table("kWide", wide, "Two columns: East Asian wide and full-width characters, emoji."))
print()
print(table("kEmojiText", EMOJI_TEXT, "Text-presentation emoji that a variation selector 16 makes two columns wide."))
print()
print("}  // namespace screen")
