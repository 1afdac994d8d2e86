#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "brute_force.hpp"
#include "count_bounds.hpp"
#include "dawg/dawg.hpp"
#include "query/complete.hpp"
#include "query/reversed_words.hpp"
#include "query/search.hpp"
#include "graph/store_graph.hpp"
#include "trie/trie.hpp"
#include "utils/utf8.hpp"

namespace sorvan {
namespace {

using Counts = std::map<std::string, std::uint64_t>;

}  // namespace

// For failure messages: the word (its start, when long), distance and count.
void PrintTo(const Suggestion& s, std::ostream* out) {
    *out << "(" << s.word.substr(0, 20) << (s.word.size() > 20 ? "..." : "") << ", " << s.distance
         << ", " << s.count << ")";
}

namespace {

// Every word scored by brute force, sorted by (distance, -count, word), cut
// to the bound and the limit.
std::vector<Suggestion> ranked_by_brute_force(const Counts& words, const std::string& query,
                                              std::uint64_t bound, std::size_t limit,
                                              bool transpositions) {
    std::vector<Suggestion> all;
    for (const auto& [word, count] : words) {
        const std::uint64_t d = transpositions
                                    ? testing_support::osa_distance(utf8::decode(word), utf8::decode(query))
                                    : testing_support::levenshtein(utf8::decode(word), utf8::decode(query));
        if (!word.empty() && d <= bound) all.push_back({word, d, count});
    }
    std::sort(all.begin(), all.end(), [](const Suggestion& a, const Suggestion& b) {
        return std::tuple(a.distance, ~a.count, a.word) < std::tuple(b.distance, ~b.count, b.word);
    });
    if (all.size() > limit) all.resize(limit);
    return all;
}

std::string random_word(std::mt19937& rng, std::size_t max_length) {
    // Few letters, so that swaps, repeats and ties are common; two of them
    // several bytes long.
    static const char* letters[] = {"a", "b", "c", "\xc3\xa9", "\xf0\x9f\x98\x80"};
    std::string w;
    for (std::size_t n = rng() % (max_length + 1); n > 0; --n) w += letters[rng() % 5];
    return w;
}

struct Lexicons {
    Counts words;
    Trie trie;
    Dawg dawg;
};

// Counts from 1 to `counts`: few, so that ties are many. With one count
// every word has the highest, and the bound drops below the worst distance
// kept as soon as `limit` words are.
Lexicons random_lexicons(std::mt19937& rng, int size, std::uint64_t counts,
                         const std::string& stem = "") {
    Lexicons out;
    for (int i = 0; i < size; ++i) {
        const std::string w = stem + random_word(rng, 7);
        const std::uint64_t count = 1 + rng() % counts;
        if (w.empty()) continue;
        out.words[w] += count;
        EXPECT_TRUE(out.trie.add(w, count));
    }
    for (const auto& [w, count] : out.words) EXPECT_TRUE(out.dawg.add(w, count));
    out.dawg._reduce(0);
    return out;
}

// The single walk with its shrinking bound ranks exactly as sorting every
// word by its distance would, for both distances, bounds below, at and over
// the lengths, and limits from none to all, on both lexicons. Every tenth
// round the words and the query share a long stem, which takes queries past
// the length up to which the walk follows the query's letters without rows.
TEST(Suggest, MatchesBruteForceOnRandomLexicons) {
    std::mt19937 rng(5);
    for (int round = 0; round < 150; ++round) {
        const std::string stem = round % 10 == 0 ? std::string(70, 'c') : "";
        const Lexicons lex = random_lexicons(rng, 40, round % 2 ? 1 : 3, stem);
        const std::string query = stem + random_word(rng, 7);
        for (bool swaps : {false, true}) {
            for (std::uint64_t bound : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2},
                                        std::uint64_t{3}, std::uint64_t{9}, UINT64_MAX - 1,
                                        UINT64_MAX}) {
                for (std::size_t limit : {std::size_t{1}, std::size_t{2}, std::size_t{5},
                                          all_suggestions}) {
                    const auto expected = ranked_by_brute_force(lex.words, query, bound, limit, swaps);
                    ASSERT_EQ(lex.trie.suggest(query, bound, limit, swaps, false).items, expected)
                        << query << " bound " << bound << " limit " << limit << " swaps " << swaps;
                    ASSERT_EQ(lex.dawg.suggest(query, bound, limit, swaps, true).items, expected)
                        << query << " bound " << bound << " limit " << limit << " swaps " << swaps;
                }
            }
        }
    }
}

// A word of the lexicon with up to `edits` random edits (a swap among them),
// or a random word: queries near the words, as a misspelling is.
std::string near_query(std::mt19937& rng, const Counts& words, int edits) {
    auto it = words.begin();
    std::advance(it, static_cast<std::ptrdiff_t>(rng() % words.size()));
    std::u32string w = utf8::decode(rng() % 8 ? it->first : random_word(rng, 10));
    const std::u32string letters = utf8::decode(random_word(rng, 3) + "ab");
    for (int e = 0; e < edits; ++e) {
        const std::size_t i = rng() % (w.size() + 1);
        switch (rng() % 4) {
            case 0: w.insert(i, 1, letters[rng() % letters.size()]); break;
            case 1: if (i < w.size()) w.erase(i, 1); break;
            case 2: if (i < w.size()) w[i] = letters[rng() % letters.size()]; break;
            default: if (i + 1 < w.size()) std::swap(w[i], w[i + 1]);
        }
    }
    std::string out;
    for (char32_t c : w) utf8::append(out, c);
    return out;
}

// With the graph of the reversed words, a search is two walks, each allowing
// only some edits in one half of the query; together they rank exactly as
// sorting every word would. Queries of every length around the words', so
// that swaps and insertions land on the middle of the query and across it,
// on the trie's own graph and on its compact one.
TEST(Suggest, TwoWalksWithTheReversedWordsRankAsBruteForce) {
    std::mt19937 rng(11);
    for (int round = 0; round < 120; ++round) {
        Lexicons lex = random_lexicons(rng, 60, round % 2 ? 1 : 3);
        ReversedWords reversed;
        // Every third round with a highest count of 1 whatever the counts:
        // a hint the listing must find wrong and start again.
        reversed.build(StoreGraph(lex.trie.nodes()), round % 3 ? lex.trie.max_count() : 1, nullptr);
        ASSERT_NE(reversed.image(), nullptr);
        const CompactGraph& backwards = reversed.image()->graph();
        Trie compact;
        for (const auto& [w, count] : lex.words) ASSERT_TRUE(compact.add(w, count));
        ASSERT_TRUE(compact.compact());
        // The highest count, as the lexicons pass it: the first walk lowers
        // its bound on it.
        const std::uint64_t ceiling = lex.trie.max_count();
        for (int q = 0; q < 6; ++q) {
            const std::string query = near_query(rng, lex.words, q % 4);
            for (bool swaps : {false, true}) {
                for (std::uint64_t bound : {1, 2, 3, 4}) {
                    for (std::size_t limit : {std::size_t{1}, std::size_t{3}, all_suggestions}) {
                        const auto expected = ranked_by_brute_force(lex.words, query, bound, limit, swaps);
                        ASSERT_EQ(suggest_words(StoreGraph(lex.trie.nodes()), query, bound, limit, swaps,
                                                ceiling, nullptr, &backwards),
                                  expected)
                            << query << " bound " << bound << " limit " << limit << " swaps " << swaps;
                        ASSERT_EQ(suggest_words(compact.image()->graph(), query, bound, limit, swaps,
                                                ceiling, nullptr, &backwards),
                                  expected)
                            << query << " bound " << bound << " limit " << limit << " swaps " << swaps;
                    }
                }
            }
        }
    }
}

// The reversed words are built once suggestions have done enough work, and
// every change drops them: a word added afterwards is found by a query that
// only the reversed walk reaches (two edits in the first half).
TEST(Suggest, AChangeDropsTheReversedWords) {
    std::mt19937 rng(3);
    for (bool dawg : {false, true}) {
        Counts words;
        for (int i = 0; i < 300; ++i) words["ab" + random_word(rng, 6)] = 1;
        Trie trie;
        Dawg sorted;
        for (const auto& [w, count] : words) {
            ASSERT_TRUE(trie.add(w, count));
            ASSERT_TRUE(sorted.add(w, count));
        }
        auto suggest = [&](const std::string& q) {
            return dawg ? sorted.suggest(q, 2, 10, true, false).items : trie.suggest(q, 2, 10, true, false).items;
        };
        // Enough queries to build the reversed words, on the worker pool:
        // one worker builds them while the others go on without.
        std::vector<std::string> queries;
        for (int i = 0; i < 3000; ++i) queries.push_back(near_query(rng, words, 2));
        const auto batch = dawg ? sorted.batch_suggest(queries, 2, 3, true, false)
                                : trie.batch_suggest(queries, 2, 3, true, false);
        for (std::size_t i = 0; i < queries.size(); i += 97) {
            EXPECT_EQ(batch[i].items, ranked_by_brute_force(words, queries[i], 2, 3, true)) << queries[i];
        }
        words["zzzzcccccc"] = 1;  // after every word: the DAWG's order holds
        ASSERT_TRUE(dawg ? sorted.add("zzzzcccccc", 1) : trie.add("zzzzcccccc", 1));
        using S = std::vector<Suggestion>;
        EXPECT_EQ(suggest("zyxzcccccc"), (S{{"zzzzcccccc", 2, 1}}));
        for (int i = 0; i < 3000; ++i) suggest(near_query(rng, words, 2));
        EXPECT_EQ(suggest("zyxzcccccc"), (S{{"zzzzcccccc", 2, 1}}));
    }
}

TEST(Suggest, RanksByDistanceThenCountThenCodePoint) {
    Trie trie;
    for (auto [w, c] : std::vector<std::pair<const char*, std::uint64_t>>{
             {"the", 5}, {"tea", 9}, {"ten", 9}, {"teh", 0}, {"tech", 1}, {"eh", 1}}) {
        ASSERT_TRUE(trie.add(w, c));
    }
    // A count of 0 still stores the word; "teh" itself is nearest.
    using S = std::vector<Suggestion>;
    EXPECT_EQ(trie.suggest("teh", 1, 10, false, false).items,
              (S{{"teh", 0, 0}, {"tea", 1, 9}, {"ten", 1, 9}, {"eh", 1, 1}, {"tech", 1, 1}}));
    // The swap: "the" one edit away, and ahead of "tea" on its count only
    // when the distance is equal.
    EXPECT_EQ(trie.suggest("hte", 1, 10, true, false).items, (S{{"the", 1, 5}}));
    EXPECT_TRUE(trie.suggest("hte", 1, 10, false, false).items.empty());
    EXPECT_EQ(trie.suggest("tne", 1, 3, true, false).items, (S{{"ten", 1, 9}, {"the", 1, 5}}));
    // A limit cuts among equals by code-point order, the higher count first.
    EXPECT_EQ(trie.suggest("te", 1, 2, false, false).items, (S{{"tea", 1, 9}, {"ten", 1, 9}}));
    EXPECT_TRUE(trie.suggest("teh", 5, 0, true, false).items.empty());
    // The empty query: the words of one letter at most `bound` away; the
    // empty word is never suggested.
    EXPECT_EQ(trie.suggest("", 2, 10, false, false).items, (S{{"eh", 2, 1}}));
    EXPECT_TRUE(trie.suggest("", 1, 10, false, false).items.empty());
    EXPECT_TRUE(Trie().suggest("a", 3, 10, true, false).items.empty());
}

// Words and queries a million letters long: no recursion, and a chain of
// single children holds two rows, whatever its length.
TEST(Suggest, VeryLongWordsAndQueries) {
    const std::string long_word(1'000'000, 'a');
    Trie trie;
    ASSERT_TRUE(trie.add(long_word, 1));
    ASSERT_TRUE(trie.add(long_word + "ba", 1));
    ASSERT_TRUE(trie.add("ab", 1));
    std::string swapped = long_word + "ab";
    using S = std::vector<Suggestion>;
    EXPECT_EQ(trie.suggest(swapped, 2, 10, true, false).items,
              (S{{long_word + "ba", 1, 1}, {long_word, 2, 1}}));
    EXPECT_EQ(trie.suggest(swapped, 2, 10, false, false).items,
              (S{{long_word, 2, 1}, {long_word + "ba", 2, 1}}));
    EXPECT_EQ(trie.suggest("b", UINT64_MAX, 1, true, false).items, (S{{"ab", 1, 1}}));
    const auto all = trie.suggest("a", UINT64_MAX, all_suggestions, false, false).items;
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[2].distance, long_word.size() + 1);
}

struct CountingPoll {
    int calls = 0;
    static bool poll(void* context) noexcept { return ++static_cast<CountingPoll*>(context)->calls >= 2; }
};

TEST(Suggest, StopsAtThePollAndAgreesInBatches) {
    std::mt19937 rng(8);
    Trie trie;
    for (int i = 0; i < 50'000; ++i) {
        std::string w;
        for (std::size_t n = 6 + rng() % 6; n > 0; --n) w += "abc"[rng() % 3];
        ASSERT_TRUE(trie.add(w, 1 + rng() % 4));
    }
    CountingPoll poll;
    Cancel cancel(&CountingPoll::poll, &poll);
    trie.suggest("abcabc", 30, all_suggestions, true, false, &cancel);
    EXPECT_TRUE(cancel.cancelled());
    EXPECT_EQ(poll.calls, 2);

    const std::vector<std::string> queries = {"abcabc", "", "cab", "abcabcabcabcabc", "bca", "abcabc"};
    const auto batch = trie.batch_suggest(queries, 2, 7, true, true);
    ASSERT_EQ(batch.size(), queries.size());
    for (std::size_t i = 0; i < queries.size(); ++i) {
        EXPECT_EQ(batch[i].items, trie.suggest(queries[i], 2, 7, true, true).items) << queries[i];
        EXPECT_TRUE(batch[i].with_counts);
    }
    EXPECT_EQ(batch[0].items.size(), 7u);
}

}  // namespace
}  // namespace sorvan

namespace sorvan {
namespace {

// The stored words starting with `prefix`, by count downwards, then in
// code-point order: the first `limit`.
std::vector<Suggestion> ranked_by_sort(const Counts& words, const std::string& prefix, std::size_t limit) {
    std::vector<Suggestion> all;
    for (const auto& [word, count] : words) {
        if (word.starts_with(prefix)) all.push_back({word, 0, count});
    }
    std::sort(all.begin(), all.end(), [](const Suggestion& a, const Suggestion& b) {
        return std::tuple(~a.count, a.word) < std::tuple(~b.count, b.word);
    });
    if (all.size() > limit) all.resize(limit);
    return all;
}

// Ranked completion on the mutable form goes best first over the bounds of
// counts that the stores keep (Node::best). Random changes of every kind
// that moves one: adds, counts wrapping past 2^64 - 1, removal from the
// Trie, bulk insertion, the DAWG's reduction and refused words, and the
// round trip through the compact form; after each, every bound is checked
// against the counts, and completions against a sort of the words.
TEST(CompleteTest, BestFirstOnTheMutableFormFollowsEveryChange) {
    for (unsigned seed = 0; seed < 6; ++seed) {
        std::mt19937_64 rng(seed);
        Trie trie;
        Dawg dawg;
        Counts trie_words, dawg_words;
        std::string last;  // the DAWG's previous word
        auto count = [&]() -> std::uint64_t {
            switch (rng() % 4) {
                case 0: return ~std::uint64_t{0} - rng() % 4;  // sums wrap
                case 1: return rng() % 3;                      // ties, and zero
                case 2: return 1 + rng() % 5000;
                default: return rng() >> (rng() % 64);
            }
        };
        std::mt19937 words_rng(seed);
        for (int step = 0; step < 400; ++step) {
            const std::string w = random_word(words_rng, 5);
            const std::uint64_t c = count();
            switch (rng() % 6) {
                case 0:
                case 1:
                    ASSERT_TRUE(trie.add(w, c));
                    if (!w.empty()) trie_words[w] += c;
                    break;
                case 2: {
                    const auto removed = trie.remove(w);
                    const auto it = trie_words.find(w);
                    ASSERT_EQ(removed.has_value(), it != trie_words.end()) << w;
                    if (removed) {
                        ASSERT_EQ(*removed, it->second);
                        trie_words.erase(it);
                    }
                    break;
                }
                case 3: {
                    SortableWords bulk;
                    for (int i = 0; i < 5; ++i) {
                        const std::string b = random_word(words_rng, 4);
                        if (b.empty()) continue;  // add_sorted takes the lines of a file, never empty
                        bulk.push_back(b);
                        ++trie_words[b];
                    }
                    ASSERT_TRUE(trie.add_sorted(std::move(bulk)));
                    break;
                }
                case 4:
                    ASSERT_TRUE(trie.compact());
                    ASSERT_TRUE(dawg.compact());
                    if (rng() % 2) {
                        ASSERT_TRUE(trie.make_mutable());
                        ASSERT_TRUE(dawg.make_mutable());
                    }
                    break;
                default:
                    break;
            }
            // The DAWG: a word after the previous one (or the same again,
            // or one before it, refused), and now and then a reduction.
            const std::string previous = last;
            const std::string next =
                rng() % 3 == 0 ? previous
                               : previous.substr(0, utf8::char_start(previous, rng() % (previous.size() + 1))) + w;
            const bool in_order = next >= previous;
            ASSERT_EQ(dawg.add(next, c).has_value(), in_order) << next;
            if (in_order && !next.empty()) dawg_words[next] += c;
            if (in_order) last = next;
            if (rng() % 5 == 0) dawg._reduce(0);
            if (rng() % 7 == 0) {
                // Bulk words below the previous one are refused whole.
                const std::string b = rng() % 2 ? random_word(words_rng, 2) : previous + "b";
                SortableWords bulk;
                bulk.push_back(b);
                const bool takes = b >= last;
                ASSERT_EQ(dawg.sort_and_add(std::move(bulk)).has_value(), takes) << b;
                if (takes && !b.empty()) dawg_words[b] += 1;
                if (takes) last = b;
            }

            const auto check = [&](const LexiconQueries& lexicon, const Counts& words, const char* name) {
                if (lexicon.image()) return;
                ASSERT_EQ(testing::stale_bounds(lexicon.nodes()), "") << name << " step " << step;
                for (int q = 0; q < 3; ++q) {
                    const std::string prefix = q == 0 ? "" : random_word(words_rng, 2);
                    const std::size_t limit = 1 + rng() % 12;
                    ASSERT_EQ(complete_words(StoreGraph(lexicon.nodes()), prefix, 0, limit, false, lexicon.max_count()),
                              ranked_by_sort(words, prefix, limit))
                        << name << " step " << step << " prefix " << prefix << " limit " << limit;
                }
            };
            check(trie, trie_words, "trie");
            check(dawg, dawg_words, "dawg");
        }
    }
}

// The maxima of counts against a scan, over ranges of every shape (inside a
// block, across blocks, across superblocks), on lexicons large enough for
// the sparse table, with many ties and with few; and completion through
// them against the walk of the same graph that lists the words instead.
TEST(CompleteTest, CountMaximaAndRankedCompletionMatchScans) {
    for (const std::uint64_t distinct_counts : {3u, 1000000u}) {
        std::mt19937 rng(static_cast<unsigned>(distinct_counts));
        Trie trie;
        for (int i = 0; i < 40000; ++i) {
            std::string w = random_word(rng, 9);
            if (!w.empty()) {
                ASSERT_TRUE(trie.add(w, 1 + rng() % distinct_counts));
            }
        }
        ASSERT_TRUE(trie.compact());
        const CompactImage& image = *trie.image();
        ASSERT_TRUE(image.ranked());
        const CompactGraph& graph = image.graph();
        const std::uint64_t n = image.distinct_words();
        ASSERT_GT(n, 16u * 64 * 4);
        auto maxima = CountMaxima::build(graph, n, nullptr);
        ASSERT_TRUE(maxima.has_value());
        EXPECT_LE((*maxima)->bytes(), n);
        for (int i = 0; i < 3000; ++i) {
            const std::uint64_t lo = rng() % n;
            const std::uint64_t span = i % 3 == 0 ? rng() % 20 : i % 3 == 1 ? rng() % 3000 : rng() % n;
            const std::uint64_t hi = std::min(n, lo + 1 + span);
            std::uint64_t expected = lo;
            for (std::uint64_t r = lo + 1; r < hi; ++r) {
                if (graph.count_of_rank(r) > graph.count_of_rank(expected)) expected = r;
            }
            ASSERT_EQ((*maxima)->top(graph, lo, hi), expected) << lo << ".." << hi;
        }
        for (int i = 0; i < 300; ++i) {
            const std::string prefix = random_word(rng, 4);
            const std::uint64_t bound = rng() % 3;
            const std::size_t limit = 1 + rng() % 30;
            const bool swaps = rng() % 2;
            ASSERT_EQ(complete_words(graph, prefix, bound, limit, swaps, image.max_count(), maxima->get()),
                      complete_words(graph, prefix, bound, limit, swaps, image.max_count()))
                << prefix << " " << bound << " " << limit;
        }
    }
}

}  // namespace
}  // namespace sorvan
