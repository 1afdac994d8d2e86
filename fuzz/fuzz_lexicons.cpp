// Operation sequences on a Trie and a Dawg, each checked against a model.
//
// The input is read as a program: adds with counts (0, 1, 2, near 2^64 and
// arbitrary, so sums wrap), words that extend the DAWG's last one, bulk
// insertion, reduce, and every query. Words are short and over a small
// alphabet holding `*`, `?`, U+0000, a two-byte and a four-byte letter. The
// models are plain: a map of words to counts (byte order is code-point
// order), the set of word prefixes for the node count, and brute force for
// wildcard (the number of ways each word matches), Levenshtein search and
// suggestions (from one walk and from two).

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "brute_force.hpp"
#include "check.hpp"
#include "dawg/dawg.hpp"
#include "query/reversed_words.hpp"
#include "graph/store_graph.hpp"
#include "trie/trie.hpp"
#include "query/pattern.hpp"
#include "utils/sortable_words.hpp"

namespace {

using sorvan::Dawg;
using sorvan::Trie;
using sorvan::WordCount;
using sorvan::fuzz::decode_strict;
using sorvan::fuzz::encode;
using sorvan::testing_support::levenshtein;
using sorvan::testing_support::osa_distance;

constexpr char32_t alphabet[] = {U'a', U'b', U'c', U'*', U'?', U'\0', U'\u00e9', U'\U0001F600'};

std::string random_word(FuzzedDataProvider& in, std::size_t longest) {
    std::u32string letters(in.ConsumeIntegralInRange<std::size_t>(0, longest), U'a');
    for (char32_t& c : letters) c = alphabet[in.ConsumeIntegralInRange<std::size_t>(0, 7)];
    return encode(letters);
}

std::uint64_t random_count(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0: return 0;
        case 1: return 1;
        case 2: return 2;
        case 3: return UINT64_MAX;
        case 4: return std::uint64_t{1} << 63;
        default: return in.ConsumeIntegral<std::uint64_t>();
    }
}

std::u32string letters_of(std::string_view word) { return decode_strict(word).value(); }

// What a lexicon should hold.
struct Model {
    std::map<std::string, std::uint64_t> counts;  // the non-empty words
    std::set<std::string> prefixes;               // non-empty prefixes of them: the nodes
    std::uint64_t word_count = 0;

    // A non-empty word (the lexicons differ on the empty one).
    void add(const std::string& word, std::uint64_t count) {
        if (word.empty()) return;
        word_count += count;  // wraps, as the lexicons' sums do
        counts[word] += count;
        const std::u32string letters = letters_of(word);
        for (std::size_t n = 1; n <= letters.size(); ++n) prefixes.insert(encode(letters.substr(0, n)));
    }
};

// The number of ways the normalised `pattern` matches `word`: a word is
// reported once for each.
std::uint64_t ways(std::u32string_view pattern, std::u32string_view word) {
    // at[j]: ways for pattern[i..] against word[j..], for the current i.
    std::vector<std::uint64_t> at(word.size() + 1, 0), next(word.size() + 1);
    at[word.size()] = 1;
    for (std::size_t i = pattern.size(); i-- > 0;) {
        next.swap(at);
        for (std::size_t j = word.size() + 1; j-- > 0;) {
            const bool more = j < word.size();
            if (pattern[i] == U'*') {
                at[j] = next[j] + (more ? at[j + 1] : 0);
            } else {
                at[j] = more && (pattern[i] == U'?' || pattern[i] == word[j]) ? next[j + 1] : 0;
            }
        }
    }
    return at[0];
}

template <class Lexicon>
void check_queries(const Lexicon& lexicon, const Model& model, FuzzedDataProvider& in) {
    const std::string probe = random_word(in, 6);
    const std::string pattern = random_word(in, 7);
    const std::uint64_t bound = in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 3) : UINT64_MAX;

    FUZZ_CHECK(lexicon.contains(probe) == (probe.empty() || model.counts.contains(probe)));
    FUZZ_CHECK(lexicon.contains_prefix(probe) == (probe.empty() || model.prefixes.contains(probe)));

    // Wildcard: the same (word, count) pairs as the model, each as many
    // times as it matches; in code-point order when no `*` is followed by
    // anything, and without repeats when there is at most one `*`.
    std::vector<WordCount> expected;
    std::size_t stars = 0;
    bool ordered = true;
    if (!pattern.empty()) {
        const std::u32string normal = sorvan::validate_expression(letters_of(pattern));
        stars = static_cast<std::size_t>(std::count(normal.begin(), normal.end(), U'*'));
        const std::size_t first_star = normal.find(U'*');
        ordered = stars == 0 || (stars == 1 && first_star + 1 == normal.size());
        for (const auto& [word, count] : model.counts) {
            for (std::uint64_t k = ways(normal, letters_of(word)); k > 0; --k) expected.emplace_back(word, count);
        }
    }
    const std::vector<WordCount> found = lexicon.search(pattern, true).pairs();
    std::vector<WordCount> sorted = found;
    std::sort(sorted.begin(), sorted.end());
    FUZZ_CHECK(sorted == expected);
    if (ordered) FUZZ_CHECK(found == expected);
    if (stars <= 1) FUZZ_CHECK(std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end());
    FUZZ_CHECK(lexicon.search(pattern).words().size() == found.size());

    // Prefix search: in order, each word once; nothing for the empty prefix.
    expected.clear();
    for (const auto& [word, count] : model.counts) {
        if (!probe.empty() && word.starts_with(probe)) expected.emplace_back(word, count);
    }
    FUZZ_CHECK(lexicon.search_with_prefix(probe, true).pairs() == expected);

    // Levenshtein search: in order, each word once.
    expected.clear();
    const std::u32string query = letters_of(probe);
    for (const auto& [word, count] : model.counts) {
        if (levenshtein(letters_of(word), query) <= bound) expected.emplace_back(word, count);
    }
    FUZZ_CHECK(lexicon.search_within_distance(probe, bound, true).pairs() == expected);
    FUZZ_CHECK(lexicon.search_within_distance(probe, bound).words().size() == expected.size());

    // Suggestions: the words within the bound ranked by distance, count
    // (highest first) and code point, cut to the limit; with or without swaps.
    const bool swaps = in.ConsumeBool();
    const std::size_t limit =
        in.ConsumeBool() ? in.ConsumeIntegralInRange<std::size_t>(0, 4) : sorvan::all_suggestions;
    std::vector<sorvan::Suggestion> ranked;
    for (const auto& [word, count] : model.counts) {
        const std::u32string letters = letters_of(word);
        const std::uint64_t d = swaps ? osa_distance(letters, query) : levenshtein(letters, query);
        if (d <= bound) ranked.push_back({word, d, count});
    }
    std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
        return std::tuple(a.distance, ~a.count, a.word) < std::tuple(b.distance, ~b.count, b.word);
    });
    if (ranked.size() > limit) ranked.resize(limit);
    FUZZ_CHECK(lexicon.suggest(probe, bound, limit, swaps, false).items == ranked);
    // The same from the two walks over the words and the reversed words,
    // which the lexicon takes only once it has answered many suggestions.
    auto two_walks = [&](const auto& graph) {
        sorvan::ReversedWords reversed;
        reversed.build(graph, lexicon.max_count(), nullptr);
        FUZZ_CHECK(reversed.image() != nullptr);
        return sorvan::suggest_words(graph, probe, bound, limit, swaps, lexicon.max_count(), nullptr,
                                     &reversed.image()->graph());
    };
    if (const sorvan::CompactImage* image = lexicon.image()) {
        FUZZ_CHECK(two_walks(image->graph()) == ranked);
    } else {
        FUZZ_CHECK(two_walks(sorvan::StoreGraph(lexicon.nodes())) == ranked);
    }
}

// The DAWG's model: the empty word, which it takes only before any other
// word, adds to word_count and to no word.
void dawg_model_add(Model& model, const std::string& word, std::uint64_t count) {
    if (word.empty()) model.word_count += count;
    model.add(word, count);
}

// The DAWG's add with its model: refused below the previous word.
void dawg_add(Dawg& dawg, Model& model, const std::string& word, std::uint64_t count) {
    const std::string previous = dawg.previous_word();
    const std::size_t unchecked = dawg.unchecked_size();
    const auto added = dawg.add(word, count);
    if (word < previous) {
        FUZZ_CHECK(!added.has_value());
        FUZZ_CHECK(added.error().display() ==
                   "Words must be inserted in alphabetical order. Previous: '" + previous +
                       "', Current: '" + word + "'");
        FUZZ_CHECK(dawg.previous_word() == previous && dawg.unchecked_size() == unchecked);
        return;
    }
    FUZZ_CHECK(added.has_value() && dawg.previous_word() == word);
    dawg_model_add(model, word, count);
}

void check_state(const Trie& trie, const Model& trie_model, const Dawg& dawg,
                 const Model& dawg_model, std::size_t& registry) {
    FUZZ_CHECK(trie.word_count() == trie_model.word_count);
    FUZZ_CHECK(trie.node_count() == 1 + trie_model.prefixes.size());
    FUZZ_CHECK(dawg.word_count() == dawg_model.word_count);
    // The DAWG's graph is the trie of its words; the registry only grows,
    // and never holds more entries than there are nodes below the root.
    FUZZ_CHECK(dawg.node_count() == 1 + dawg_model.prefixes.size());
    FUZZ_CHECK(dawg.registry_size() >= registry && dawg.registry_size() < dawg.node_count());
    registry = dawg.registry_size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Trie trie;
    Dawg dawg;
    Model trie_model, dawg_model;
    std::size_t registry = 0;
    for (int step = 0; step < 48 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange(0, 8)) {
            case 0:
            case 1: {  // a word, often out of the DAWG's order
                const std::string word = random_word(in, 6);
                const std::uint64_t count = random_count(in);
                FUZZ_CHECK(trie.add(word, count).has_value());
                trie_model.add(word, count);
                dawg_add(dawg, dawg_model, word, count);
                break;
            }
            case 2: {  // the DAWG's last word, extended (or repeated)
                const std::string word = dawg.previous_word() + random_word(in, 3);
                const std::uint64_t count = random_count(in);
                FUZZ_CHECK(trie.add(word, count).has_value());
                trie_model.add(word, count);
                dawg_add(dawg, dawg_model, word, count);
                break;
            }
            case 3: {  // the DAWG cut to a prefix of its last word, then a word
                const std::u32string last = letters_of(dawg.previous_word());
                const std::size_t keep = in.ConsumeIntegralInRange<std::size_t>(0, last.size());
                dawg_add(dawg, dawg_model, encode(last.substr(0, keep)) + random_word(in, 3), 1);
                break;
            }
            case 4: {  // reduce, which only records: twice is once
                dawg._reduce(0);
                FUZZ_CHECK(dawg.unchecked_size() == 0);
                const std::size_t once = dawg.registry_size();
                dawg._reduce(0);
                FUZZ_CHECK(dawg.registry_size() == once);
                break;
            }
            case 5: {  // bulk: the trie in input order, the DAWG sorted, then reduced
                std::vector<std::string> words(in.ConsumeIntegralInRange(0, 6));
                sorvan::SortableWords bulk;
                for (std::string& w : words) {
                    w = random_word(in, 5);
                    bulk.push_back(w);
                    FUZZ_CHECK(trie.add(w, 1).has_value());
                    trie_model.add(w, 1);
                }
                std::sort(words.begin(), words.end());
                const std::string previous = dawg.previous_word();
                const std::size_t unchecked = dawg.unchecked_size();
                const auto added = dawg.sort_and_add(std::move(bulk));
                if (!words.empty() && words.front() < previous) {
                    FUZZ_CHECK(!added.has_value() && dawg.unchecked_size() == unchecked);
                } else {
                    FUZZ_CHECK(added.has_value() && dawg.unchecked_size() == 0);
                    for (const std::string& w : words) dawg_model_add(dawg_model, w, 1);
                }
                break;
            }
            default: {
                check_queries(trie, trie_model, in);
                check_queries(dawg, dawg_model, in);
                break;
            }
        }
        check_state(trie, trie_model, dawg, dawg_model, registry);
    }
    return 0;
}
