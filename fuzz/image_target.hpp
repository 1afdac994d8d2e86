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

#include "compact/bytes.hpp"
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

// A Cancel that stops a query after some steps: a lazily opened image of
// damaged bytes may hold a graph whose paths multiply, and a listing of
// them is as long as they are many (it stops as it would at Ctrl-C).
inline bool out_of_steps(void* polls) noexcept { return --*static_cast<int*>(polls) < 0; }

// The answers of every query to a few probes, written out: equal for two
// lexicons of the same words and counts.
template <class Lexicon>
std::string answers_of(const Lexicon& lexicon) {
    std::string out;
    int polls = 64;
    Cancel cancel(&out_of_steps, &polls);
    auto put = [&out](const auto&... values) { ((out += std::to_string(values), out += ' '), ...); };
    auto put_list = [&](const WordList& words) {
        for (const auto& [word, count] : words.pairs()) out += word, put(count);
        out += '\n';
    };
    auto put_suggestions = [&](const Suggestions& found) {
        for (const Suggestion& s : found.items) out += s.word, put(s.distance, s.count);
        out += '\n';
    };
    const std::string text = "a ab abc ba x\xC3\xA9";
    for (const char* q : {"", "a", "?", "*", "*a*", "ab", "b", "\xC3\xA9"}) {
        put(lexicon.contains(q), lexicon.contains_prefix(q), lexicon.count_of(q).value_or(~0ULL));
        put(lexicon.words_under(q, &cancel), lexicon.rank_of(q, &cancel).value_or(~0ULL));
        const std::uint64_t under = lexicon.words_under(q, &cancel);
        for (std::uint64_t i = 0; i < std::min<std::uint64_t>(under, 3); ++i) out += lexicon.word_at(q, i, &cancel);
        put_list(lexicon.search(q, true, &cancel));
        put_list(lexicon.search_with_prefix(q, true, &cancel));
        put_list(lexicon.search_within_distance(q, 1, true, &cancel));
        put_suggestions(lexicon.suggest(q, 1, 5, false, true, &cancel));
        put_suggestions(lexicon.complete(q, 0, 5, false, true, &cancel));
        put_suggestions(lexicon.complete(q, 1, 3, true, true, &cancel));
    }
    const TextUnits units{text.data(), text.size(), 1};
    lexicon.find_all(units, FindOptions{.overlapping = true, .with_counts = true}, &cancel, [&](const TextMatch& m) {
        put(m.start, m.end, m.count);
        return true;
    });
    return out;
}

// A lexicon of `image` (either kind), on which `f` runs.
template <class F>
void with_lexicon(CompactImage image, F&& f) {
    if (image.kind() == LexiconKind::Trie) {
        auto trie = Trie::from_image(std::move(image));
        if (!trie) std::abort();
        f(*trie);
    } else {
        auto dawg = Dawg::from_image(std::move(image));
        if (!dawg) std::abort();
        f(*dawg);
    }
}

// The image opened lazily, as a mapped file is: if the whole check
// accepts the bytes, every query answers as on the image checked in full
// (`full`: its answers) and meets no damage; if it refuses them, the lazy
// open refuses them with the same message, or opens them into a lexicon
// whose queries stay in bounds and end, and whose check() then finds what
// the whole check found (damaged() holds from then on).
inline void exercise_lazily(const std::vector<std::uint8_t>& bytes) {
    const auto full = CompactImage::copy_of(bytes.data(), bytes.size());
    std::string full_answers;
    if (full) {
        auto twin = CompactImage::copy_of(bytes.data(), bytes.size());
        with_lexicon(std::move(*twin), [&](const auto& lexicon) { full_answers = answers_of(lexicon); });
    }
    auto lazy = CompactImage::open(owned_copy(bytes.data(), bytes.size()), nullptr, CompactImage::Check::lazy);
    if (!lazy) {
        if (full || lazy.error().display() != full.error().display()) std::abort();
        return;
    }
    with_lexicon(std::move(*lazy), [&](const auto& lexicon) {
        const std::string answers = answers_of(lexicon);
        const CompactImage& image = *lexicon.image();
        if (full) {
            if (image.damaged() || answers != full_answers || !image.check()) std::abort();
            return;
        }
        const Status found = image.check();
        if (found || found.error().display() != full.error().display() || !image.damaged()) std::abort();
    });
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
    if (!lexicon.make_mutable()) std::abort();  // checked in full: it opens
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
        exercise_lazily(bytes);
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
