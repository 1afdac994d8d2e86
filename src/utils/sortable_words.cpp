#include "utils/sortable_words.hpp"

#include <algorithm>
#include <array>

namespace sorvan {

// A most-significant-byte-first radix sort: the words are distributed by
// their first byte, then each group with more than one word by its second
// byte, and so on. Each byte is looked at about once, where a comparison
// sort compares the long shared prefixes of a word list over and over.
// Small groups go to std::sort. Pending groups wait on a heap-allocated
// stack, as a chain of long shared prefixes would nest as deep as the
// prefixes are long.
void SortableWords::sort() {
    constexpr std::size_t small_group = 32;
    const char* bytes = bytes_.data();
    // The byte at `depth` plus one, or 0 past the word's end: a word sorts
    // before its extensions.
    auto key = [bytes](const Span& span, std::size_t depth) -> std::size_t {
        if (depth >= span.size) return 0;
        return std::size_t{static_cast<unsigned char>(bytes[span.offset + depth])} + 1;
    };
    auto suffix = [bytes](const Span& span, std::size_t depth) {
        return std::string_view(bytes + span.offset + depth, span.size - depth);
    };

    // A run of spans that share their first `depth` bytes.
    struct Group {
        std::size_t begin;
        std::size_t size;
        std::size_t depth;
    };
    std::vector<Group> pending{{0, spans_.size(), 0}};
    std::vector<Span> scratch;
    while (!pending.empty()) {
        const Group group = pending.back();
        pending.pop_back();
        Span* first = spans_.data() + group.begin;
        const std::size_t depth = group.depth;
        if (group.size <= small_group) {
            std::sort(first, first + group.size, [&](const Span& a, const Span& b) {
                return suffix(a, depth) < suffix(b, depth);
            });
            continue;
        }
        std::array<std::size_t, 257> count{};
        for (std::size_t i = 0; i < group.size; ++i) ++count[key(first[i], depth)];
        std::array<std::size_t, 257> next;
        std::size_t at = 0;
        for (std::size_t k = 0; k < count.size(); ++k) {
            next[k] = at;
            at += count[k];
        }
        scratch.resize(std::max(scratch.size(), group.size));
        for (std::size_t i = 0; i < group.size; ++i) {
            scratch[next[key(first[i], depth)]++] = first[i];
        }
        std::copy_n(scratch.begin(), group.size, first);
        // The words that end here (key 0) are all equal; every other group
        // goes on with the next byte.
        at = group.begin + count[0];
        for (std::size_t k = 1; k < count.size(); ++k) {
            if (count[k] > 1) pending.push_back({at, count[k], depth + 1});
            at += count[k];
        }
    }
    // Lay the bytes out in the new order too: the insertion then reads them
    // front to back, where each word would otherwise cost a cache miss or
    // two once the list outgrows the caches.
    std::string in_order;
    in_order.reserve(bytes_.size());
    for (Span& span : spans_) {
        const std::size_t at = in_order.size();
        in_order.append(bytes_, span.offset, span.size);
        span.offset = at;
    }
    bytes_.swap(in_order);
}

}  // namespace sorvan
