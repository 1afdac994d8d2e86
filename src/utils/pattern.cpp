#include "utils/pattern.hpp"

#include <vector>

#include "utils/utf8.hpp"

namespace sorvan {

std::string validate_expression(std::string_view pattern) {
    std::u32string in;
    utf8::for_each(pattern, [&](char32_t c) { in.push_back(c); });
    std::u32string out;
    std::size_t i = 0;
    while (i < in.size()) {
        const char32_t c = in[i];
        if (c == U'*' || (c == U'?' && i + 1 < in.size() && in[i + 1] == U'*')) {
            while (i < in.size() && (in[i] == U'*' || in[i] == U'?')) ++i;
            out.push_back(U'*');
        } else if (c == U'?') {
            out.push_back(U'?');
            while (i < in.size() && in[i] == U'?') ++i;
        } else {
            out.push_back(c);
            ++i;
        }
    }
    std::string result;
    result.reserve(pattern.size());
    for (char32_t c : out) utf8::append(result, c);
    return result;
}

}  // namespace sorvan
