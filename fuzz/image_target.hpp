#pragma once
// The image loader on any bytes, shared by the fuzz_image harness and the
// test that replays its corpus. Bytes are opened as they are, then again
// with their checksum made right, so that the structural checks behind it
// are reached too. Whatever opens must answer every query, rebuild its
// mutable form, give an image that opens with the same words, and take more
// words where the image says it stands.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "compact/image.hpp"
#include "compact/membership.hpp"
#include "dawg/dawg.hpp"
#include "query/search.hpp"
#include "trie/trie.hpp"

namespace sorvan::fuzz {

// The words of `lexicon` with their counts, in order.
template <class Lexicon>
std::map<std::string, std::uint64_t> words_of(const Lexicon& lexicon) {
    std::map<std::string, std::uint64_t> words;
    for (auto& [word, count] : lexicon.search("*", true).pairs()) words.emplace(std::move(word), count);
    return words;
}

// Adds words to a lexicon restored from an image, as its image allows: to a
// DAWG words above its last one (past its path, leaving it at its end and at
// the root, and one twice), to a Trie any. Every one goes in; compact()
// and a copy through a new image then hold the old words and the new.
template <class Lexicon>
void extend(Lexicon& lexicon) {
    auto expected = words_of(lexicon);
    std::uint64_t word_count = lexicon.word_count();
    std::vector<std::string> more;
    if constexpr (std::is_same_v<Lexicon, Dawg>) {
        const std::string last = lexicon.previous_word();
        more = {last + "a", last + "ab", last + "b", last + "b"};
        if (const std::string top = "\xF4\x8F\xBF\xBF"; top > more.back()) more.push_back(top);
    } else {
        more = {"a", "zz", expected.empty() ? "b" : expected.begin()->first + "x", "a"};
    }
    for (const std::string& word : more) {
        if (!lexicon.add(word, 1)) std::abort();
        ++expected[word];
        ++word_count;
    }
    if (!lexicon.compact()) std::abort();  // its image passes its own check
    if (words_of(lexicon) != expected || lexicon.word_count() != word_count) std::abort();
    const auto bytes = *lexicon.build_image();
    auto image = CompactImage::copy_of(bytes->data(), bytes->size());
    if (!image) std::abort();
    auto twin = Lexicon::from_image(std::move(*image));
    if (!twin || words_of(*twin) != expected || twin->word_count() != word_count) std::abort();
}

template <class Lexicon>
void exercise(Lexicon& lexicon) {
    const WordList all = lexicon.search("*", true);
    for (const char* q : {"a", "?", "*a*", "ab"}) {
        (void)lexicon.contains(q);
        (void)lexicon.contains_prefix(q);
        (void)lexicon.search_with_prefix(q, true);
        (void)lexicon.search_within_distance(q, 1, true);
    }
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (!lexicon.contains(all[i])) std::abort();
    }
    // The membership index of the graph holds its words and prefixes, and
    // nothing a letter more.
    if (const CompactImage* image = lexicon.image()) {
        const CompactGraph& graph = image->graph();
        if (const auto index = MembershipIndex::build(graph)) {
            for (std::size_t i = 0; i < all.size(); ++i) {
                const std::string word(all[i]);
                if (!index->contains(word) || !index->contains_prefix(word)) std::abort();
                const auto longer = walk(graph, word + "a");
                if (index->contains(word + "a") != (longer && graph.is_end(*longer))) std::abort();
            }
        }
    }
    lexicon.make_mutable();
    const auto bytes = *lexicon.build_image();  // made anew from the mutable form
    auto again = CompactImage::copy_of(bytes->data(), bytes->size());
    if (!again) std::abort();
    auto twin = Lexicon::from_image(std::move(*again));
    if (!twin || !(twin->search("*", true) == all)) std::abort();
    if (twin->word_count() != lexicon.word_count()) std::abort();
    extend(lexicon);
}

inline void exercise_image(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> bytes(data, data + size);
    for (int round = 0; round < 2; ++round) {
        if (round == 1) {
            if (size < 8) return;
            seal_image(bytes.data(), bytes.size());
        }
        auto image = CompactImage::copy_of(bytes.data(), bytes.size());
        if (!image) {
            if (image.error().kind() != SorvanError::Kind::InvalidImage) std::abort();
            continue;
        }
        if (image->node_count() > 100000) continue;  // legitimate, but slow to rebuild
        if (image->kind() == LexiconKind::Trie) {
            auto trie = Trie::from_image(std::move(*image));
            if (!trie) std::abort();
            exercise(*trie);
        } else {
            auto dawg = Dawg::from_image(std::move(*image));
            if (!dawg) std::abort();
            exercise(*dawg);
        }
    }
}

}  // namespace sorvan::fuzz
