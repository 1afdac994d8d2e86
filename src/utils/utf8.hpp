#pragma once
// UTF-8 decoding and encoding of code points, the letters of every word.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace sorvan::utf8 {

// True for the bytes that continue a character rather than start one.
inline bool is_continuation(char byte) noexcept {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// Decodes the character starting at `p` and advances `p` past it. The text
// must be valid UTF-8: every string reaching the core has been checked,
// either by the interpreter or by the word-file reader.
inline char32_t next(const char*& p) noexcept {
    auto b0 = static_cast<unsigned char>(*p++);
    if (b0 < 0x80) return b0;
    auto cont = [&p] { return static_cast<char32_t>(static_cast<unsigned char>(*p++) & 0x3F); };
    if (b0 < 0xE0) return (static_cast<char32_t>(b0 & 0x1F) << 6) | cont();
    if (b0 < 0xF0) {
        char32_t c = static_cast<char32_t>(b0 & 0x0F) << 12;
        c |= cont() << 6;
        return c | cont();
    }
    char32_t c = static_cast<char32_t>(b0 & 0x07) << 18;
    c |= cont() << 12;
    c |= cont() << 6;
    return c | cont();
}

// Writes the UTF-8 encoding of `c` to out[0..4) and returns its length.
inline std::size_t encode(char32_t c, char* out) noexcept {
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

// Appends the UTF-8 encoding of `c` to `out`.
inline void append(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
        return;
    }
    char bytes[4];
    out.append(bytes, encode(c, bytes));
}

// Number of bytes in the UTF-8 encoding of `c`.
inline std::size_t encoded_size(char32_t c) noexcept {
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// Calls f(c) for every character of valid UTF-8 `text`.
template <class F>
void for_each(std::string_view text, F&& f) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) f(next(p));
}

// The number of characters of valid UTF-8 `text`.
inline std::size_t count(std::string_view text) noexcept {
    std::size_t n = 0;
    for (char b : text) n += !is_continuation(b);
    return n;
}

// Appends the characters of `text` to `out` last first.
inline void append_reversed(std::string& out, std::string_view text) {
    for (std::size_t end = text.size(); end > 0;) {
        std::size_t start = end - 1;
        while (start > 0 && is_continuation(text[start])) --start;
        out.append(text.substr(start, end - start));
        end = start;
    }
}

// The characters of valid UTF-8 `text`.
inline std::u32string decode(std::string_view text) {
    std::u32string letters;
    letters.reserve(text.size());
    for_each(text, [&](char32_t c) { letters.push_back(c); });
    return letters;
}

// `i` moved back to the start of the character it falls in (a byte index
// of valid UTF-8 `text`, or its size).
inline std::size_t char_start(std::string_view text, std::size_t i) noexcept {
    while (i > 0 && i < text.size() && is_continuation(text[i])) --i;
    return i;
}

// The length in bytes of the longest run of whole characters that valid
// UTF-8 `a` and `b` both start with.
inline std::size_t shared_prefix(std::string_view a, std::string_view b) noexcept {
    const auto differ = std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first;
    return char_start(a, static_cast<std::size_t>(differ - a.begin()));
}

// True when `text` is well-formed UTF-8: every sequence complete, in its
// shortest form, and naming a scalar value (no surrogate U+D800 to U+DFFF,
// nothing above U+10FFFF).
inline bool is_valid(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        // Word files are mostly ASCII: skip it eight bytes at a time.
        while (end - p >= 8) {
            std::uint64_t chunk;
            std::memcpy(&chunk, p, sizeof chunk);
            if (chunk & 0x8080808080808080u) break;
            p += 8;
        }
        if (p == end) break;
        const unsigned b0 = *p;
        if (b0 < 0x80) {
            ++p;
            continue;
        }
        // The byte ranges of well-formed sequences: the second byte's range
        // is narrowed after E0 (overlong), ED (surrogates), F0 (overlong)
        // and F4 (above U+10FFFF); C0, C1 and F5 to FF never start one.
        std::ptrdiff_t tail;
        unsigned low = 0x80, high = 0xBF;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            tail = 1;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            tail = 2;
            if (b0 == 0xE0) low = 0xA0;
            if (b0 == 0xED) high = 0x9F;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            tail = 3;
            if (b0 == 0xF0) low = 0x90;
            if (b0 == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (end - p <= tail) return false;
        if (p[1] < low || p[1] > high) return false;
        for (std::ptrdiff_t i = 2; i <= tail; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
        }
        p += tail + 1;
    }
    return true;
}

}  // namespace sorvan::utf8
