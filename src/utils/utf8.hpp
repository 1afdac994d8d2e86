#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sorvan::utf8 {

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

// Appends the UTF-8 encoding of `c` to `out`.
inline void append(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
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

}  // namespace sorvan::utf8
