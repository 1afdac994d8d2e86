// Pattern normalisation (validate_expression) on any pattern.
//
// Valid UTF-8 input is taken as the pattern; anything else is read a byte a
// letter over a small alphabet rich in wildcards. Checked: the output is
// what each maximal run of wildcards maps to (a run holding a `*` gives `*`,
// or `?*` when it starts with two or more `?`; a run of `?` alone gives `?`)
// with every literal kept in place; so it never holds `**`, `??` or `*?`. The
// pass is single: normalising again changes the output exactly where it
// holds `?*`, and a second pass is final.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.hpp"
#include "query/pattern.hpp"

namespace {

using sorvan::fuzz::decode_strict;

bool is_wildcard(char32_t c) { return c == U'*' || c == U'?'; }

std::u32string expected_normal_form(std::u32string_view pattern) {
    std::u32string out;
    std::size_t i = 0;
    while (i < pattern.size()) {
        if (!is_wildcard(pattern[i])) {
            out += pattern[i++];
            continue;
        }
        std::size_t end = i;
        while (end < pattern.size() && is_wildcard(pattern[end])) ++end;
        const std::u32string_view run = pattern.substr(i, end - i);
        if (run.find(U'*') == std::u32string_view::npos) {
            out += U'?';
        } else if (run.starts_with(U"??")) {
            out += U"?*";
        } else {
            out += U'*';
        }
        i = end;
    }
    return out;
}

std::u32string replace_all(std::u32string text, std::u32string_view from, std::u32string_view to) {
    for (std::size_t at = text.find(from); at != std::u32string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::u32string letters;
    if (auto decoded = decode_strict(bytes)) {
        letters = std::move(*decoded);
    } else {
        static constexpr char32_t alphabet[] = {U'*', U'?', U'*', U'?', U'a', U'b', U'\u00e9', U'\U0001F600'};
        for (unsigned char b : bytes) letters += alphabet[b % 8];
    }
    const std::u32string once = sorvan::validate_expression(letters);
    FUZZ_CHECK(once == expected_normal_form(letters));
    FUZZ_CHECK(once.size() <= letters.size());
    for (std::u32string_view pair : {U"**", U"??", U"*?"}) FUZZ_CHECK(once.find(pair) == std::u32string::npos);

    const std::u32string twice = sorvan::validate_expression(once);
    FUZZ_CHECK(twice == replace_all(once, U"?*", U"*"));
    FUZZ_CHECK((twice == once) == (once.find(U"?*") == std::u32string::npos));
    FUZZ_CHECK(sorvan::validate_expression(twice) == twice);
    return 0;
}
