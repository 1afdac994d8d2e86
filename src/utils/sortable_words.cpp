#include "utils/sortable_words.hpp"

#include <algorithm>
#include <array>
#include <exception>

namespace sorvan {

void SortableWords::expect_text(std::size_t bytes) noexcept {
    try {
        bytes_.reserve(bytes_.size() + bytes);
        spans_.reserve(spans_.size() + bytes / 8);
    } catch (const std::exception&) {  // std::bad_alloc, std::length_error
    }
}

// A most-significant-byte-first radix sort: the words are distributed by
// their first byte, then each group with more than one word by its second
// byte, and so on. Each byte is looked at about once, where a comparison
// sort compares the long shared prefixes of a word list over and over.
// Small groups go to std::sort. Pending groups wait on a heap-allocated
// stack, as a chain of long shared prefixes would nest as deep as the
// prefixes are long.
//
// A large group, once distributed, has its bytes laid out anew in its new
// order: its subgroups then read their bytes from a region of their own
// instead of missing the caches at every word and every level (at 30M keys
// most of the sort's time was those misses). The words of a group below the
// threshold lie together too, in their parent's region, so the insertion
// reads the list nearly front to back.
bool SortableWords::sort(Cancel* cancel) {
    Cancel::Countdown countdown(cancel);
    constexpr std::size_t small_group = 32;
    constexpr std::size_t laid_out_from = std::size_t{1} << 15;  // words
    char* bytes = bytes_.data();
    // The byte at `depth` plus one, or 0 past the word's end: a word sorts
    // before its extensions.
    auto key = [bytes](const Span& span, std::size_t depth) -> std::size_t {
        if (depth >= span.size) return 0;
        return std::size_t{static_cast<unsigned char>(bytes[span.offset + depth])} + 1;
    };
    auto suffix = [bytes](const Span& span, std::size_t depth) {
        return std::string_view(bytes + span.offset + depth, span.size - depth);
    };

    // A run of spans that share their first `depth` bytes. A group of at
    // least `laid_out_from` words has its bytes back to back, in span order.
    struct Group {
        std::size_t begin;
        std::size_t size;
        std::size_t depth;
    };
    std::vector<Group> pending{{0, spans_.size(), 0}};
    std::vector<Span> scratch;
    std::string moved;
    while (!pending.empty()) {
        const Group group = pending.back();
        pending.pop_back();
        countdown.spend(group.size);  // each group's pass is a step a word
        if (countdown.tick()) return false;
        Span* first = spans_.data() + group.begin;
        const std::size_t depth = group.depth;
        if (group.size <= small_group) {
            std::sort(first, first + group.size, [&](const Span& a, const Span& b) {
                return suffix(a, depth) < suffix(b, depth);
            });
            continue;
        }
        const std::size_t region = first->offset - tag_size_;  // where a laid-out group's bytes begin
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
        if (group.size >= laid_out_from) {
            moved.clear();
            for (Span* span = first; span != first + group.size; ++span) {
                const std::size_t to = region + moved.size() + tag_size_;
                moved.append(bytes + span->offset - tag_size_, tag_size_ + span->size);
                span->offset = to;
            }
            std::copy(moved.begin(), moved.end(), bytes + region);
        }
        // The words that end here (key 0) are all equal; every other group
        // goes on with the next byte.
        at = group.begin + count[0];
        for (std::size_t k = 1; k < count.size(); ++k) {
            if (count[k] > 1) pending.push_back({at, count[k], depth + 1});
            at += count[k];
        }
    }
    return true;
}

}  // namespace sorvan
