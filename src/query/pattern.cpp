#include "query/pattern.hpp"

namespace sorvan {

std::u32string validate_expression(std::u32string_view in) {
    std::u32string out;
    out.reserve(in.size());
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
    return out;
}

}  // namespace sorvan
