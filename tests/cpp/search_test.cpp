#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "brute_force.hpp"
#include "dawg/dawg.hpp"
#include "trie/trie.hpp"
#include "utils/cancel.hpp"
#include "query/pattern.hpp"
#include "utils/utf8.hpp"

namespace sorvan {
namespace {

struct Normalisation {
    const char* pattern;
    const char* expected;
};

class ValidateExpression : public ::testing::TestWithParam<Normalisation> {};

TEST_P(ValidateExpression, Normalises) {
    EXPECT_EQ(validate_expression(utf8::decode(GetParam().pattern)), utf8::decode(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, ValidateExpression,
    ::testing::Values(Normalisation{"app*", "app*"}, Normalisation{"a**b", "a*b"},
                      Normalisation{"a?*b", "a*b"}, Normalisation{"a*?b", "a*b"},
                      Normalisation{"a*?*?b", "a*b"}, Normalisation{"x?*?y", "x*y"},
                      Normalisation{"?**?", "*"}, Normalisation{"a??b", "a?b"},
                      Normalisation{"c???", "c?"}, Normalisation{"??*", "?*"},
                      Normalisation{"a?b?", "a?b?"}, Normalisation{"*", "*"},
                      Normalisation{"?", "?"}, Normalisation{"", ""},
                      Normalisation{" \xc3\xa9?? ", " \xc3\xa9? "},
                      Normalisation{"\xf0\x9f\x98\x80**", "\xf0\x9f\x98\x80*"}));

// The plain recursive walk, as a reference for the explicit-stack one.
void reference_wildcard(const NodeStore& nodes, NodeIndex n, const std::u32string& pattern,
                        std::size_t i, std::string& word, std::vector<std::string>& out) {
    if (i >= pattern.size()) {
        if (nodes[n].is_end && !word.empty()) out.push_back(word);
        return;
    }
    const std::size_t size = word.size();
    auto descend = [&](Edge e, std::size_t next) {
        utf8::append(word, e.letter);
        reference_wildcard(nodes, e.child, pattern, next, word, out);
        word.resize(size);
    };
    if (pattern[i] == U'*') {
        reference_wildcard(nodes, n, pattern, i + 1, word, out);
        nodes.for_each_child(n, [&](Edge e) { descend(e, i); });
    } else if (pattern[i] == U'?') {
        nodes.for_each_child(n, [&](Edge e) { descend(e, i + 1); });
    } else if (NodeIndex c = nodes.child(n, pattern[i]); c != NodeStore::no_child) {
        descend(Edge{pattern[i], c}, i + 1);
    }
}

std::string random_word(std::mt19937& rng, std::size_t max_length) {
    static const char* letters[] = {"a", "b", "*", "?", "\xc3\xa9", "\xf0\x9f\x98\x80"};
    std::string w;
    for (std::size_t n = rng() % (max_length + 1); n > 0; --n) w += letters[rng() % 6];
    return w;
}

// Random tries and patterns with several stars: the explicit-stack walk
// reports the same words in the same order, duplicates included, as the
// recursion; distance search agrees with brute force for bounds below, at
// and above the lengths involved (rows keep only the band of entries that
// can be within the bound).
TEST(Search, MatchesReferenceOnRandomTries) {
    std::mt19937 rng(99);
    for (int round = 0; round < 300; ++round) {
        Trie trie;
        std::vector<std::string> words;
        for (int i = 0; i < 25; ++i) {
            words.push_back(random_word(rng, 8));
            ASSERT_TRUE(trie.add(words.back(), 1));
        }
        std::string pattern = random_word(rng, 6);
        if (rng() % 2) pattern.insert(rng() % (pattern.size() + 1), "*");
        std::vector<std::string> expected;
        std::string word;
        if (!pattern.empty()) {
            reference_wildcard(trie.nodes(), 0, validate_expression(utf8::decode(pattern)), 0, word, expected);
        }
        EXPECT_EQ(trie.search(pattern).words(), expected) << pattern;

        const std::string query = random_word(rng, 6);
        std::sort(words.begin(), words.end());
        words.erase(std::unique(words.begin(), words.end()), words.end());
        for (std::uint64_t bound : {0, 1, 2, 3, 5, 8, 100}) {
            std::vector<std::string> close;
            for (const std::string& w : words) {
                if (!w.empty() && testing_support::levenshtein(utf8::decode(w), utf8::decode(query)) <= bound) {
                    close.push_back(w);
                }
            }
            EXPECT_EQ(trie.search_within_distance(query, bound).words(), close) << query << " " << bound;
        }
        if (!words.empty() && words.front().empty()) words.erase(words.begin());
        EXPECT_EQ(trie.search_within_distance(query, UINT64_MAX).words(), words);
    }
}

TEST(Search, CountsAndBothLexiconsAgree) {
    Trie trie;
    Dawg dawg;
    for (const char* w : {"a", "aa", "ab", "abc", "abz", "az", "b", "ba"}) {
        ASSERT_TRUE(trie.add(w, 2));
        ASSERT_TRUE(dawg.add(w, 2));
    }
    dawg._reduce(0);
    for (const char* p : {"*", "*a*", "?", "a?c", "*z"}) {
        EXPECT_EQ(trie.search(p, true), dawg.search(p, true)) << p;
        for (const WordCount& wc : trie.search(p, true).pairs()) EXPECT_EQ(wc.second, 2u);
    }
    EXPECT_EQ(trie.search_with_prefix("ab", true).pairs(),
              (std::vector<WordCount>{{"ab", 2}, {"abc", 2}, {"abz", 2}}));
    EXPECT_EQ(dawg.search_within_distance("ab", 0, true).pairs(), (std::vector<WordCount>{{"ab", 2}}));
}

// A path far deeper than any native stack could recurse.
TEST(Search, VeryLongWordsNeedNoDeepRecursion) {
    const std::string long_word(1'000'000, 'a');
    Trie trie;
    ASSERT_TRUE(trie.add(long_word, 1));
    ASSERT_TRUE(trie.add("ab", 1));
    EXPECT_EQ(trie.search("*").words(), (std::vector<std::string>{long_word, "ab"}));
    EXPECT_EQ(trie.search("*b").words(), std::vector<std::string>{"ab"});
    EXPECT_EQ(trie.search_with_prefix("aaaaa").words(), std::vector<std::string>{long_word});
    const auto far = trie.search_within_distance("a", std::uint64_t{1} << 63).words();
    ASSERT_EQ(far.size(), 2u);
    EXPECT_EQ(far[0], long_word);
    EXPECT_EQ(far[1], "ab");
}


// A long query over a long stored word: a row per level of the path would be
// 200,000 rows of 200,001 entries (320 GB). Band and row reuse keep it to a
// few entries, and the walk to a handful of steps per letter.
TEST(Search, LongQueryOverALongWordHoldsLittle) {
    const std::string word(200'000, 'a');
    Trie trie;
    ASSERT_TRUE(trie.add(word, 1));
    ASSERT_TRUE(trie.add(word + "b", 1));
    ASSERT_TRUE(trie.add("ab", 1));
    EXPECT_EQ(trie.search_within_distance(word, 0).words(), std::vector<std::string>{word});
    EXPECT_EQ(trie.search_within_distance(word + "c", 1).words(),
              (std::vector<std::string>{word, word + "b"}));
    EXPECT_TRUE(trie.search_within_distance(word.substr(2), 1).empty());
}

// A Cancel whose poll answers true from its `stop_at`-th call on.
struct CountingPoll {
    int calls = 0;
    int stop_at;
    static bool poll(void* context) noexcept {
        auto& self = *static_cast<CountingPoll*>(context);
        return ++self.calls >= self.stop_at;
    }
};

// Every search polls as it goes, stops at the first true answer, and keeps
// the words found until then: a prefix of the full answer.
TEST(Cancel, SearchesStopAtThePollAndKeepWhatTheyFound) {
    Trie trie;  // some 250,000 nodes, a third of them below 'a'
    std::mt19937 rng(3);
    for (int i = 0; i < 100'000; ++i) {
        std::string w;
        for (std::size_t n = 8 + rng() % 8; n > 0; --n) w += "abc"[rng() % 3];
        ASSERT_TRUE(trie.add(w, 1));
    }
    using Search = WordList (*)(const Trie&, Cancel*);
    const std::vector<std::pair<const char*, Search>> searches = {
        {"*", [](const Trie& t, Cancel* c) { return t.search("*", false, c); }},
        {"*a*b*", [](const Trie& t, Cancel* c) { return t.search("*a*b*", true, c); }},
        {"prefix", [](const Trie& t, Cancel* c) { return t.search_with_prefix("a", false, c); }},
        {"distance", [](const Trie& t, Cancel* c) { return t.search_within_distance("ab", 9, false, c); }},
    };
    for (const auto& [name, search] : searches) {
        const WordList full = search(trie, nullptr);
        CountingPoll never{0, 1 << 30};
        Cancel polled(&CountingPoll::poll, &never);
        EXPECT_EQ(search(trie, &polled), full) << name;
        EXPECT_GT(never.calls, 1) << name;
        EXPECT_FALSE(polled.cancelled());

        CountingPoll second{0, 2};
        Cancel cancel(&CountingPoll::poll, &second);
        const WordList part = search(trie, &cancel);
        EXPECT_TRUE(cancel.cancelled()) << name;
        EXPECT_EQ(second.calls, 2) << name;  // not asked again once it said stop
        ASSERT_LT(part.size(), full.size()) << name;
        for (std::size_t i = 0; i < part.size(); ++i) ASSERT_EQ(part[i], full[i]) << name;
    }
}

// A search that would take days (the five stars of '*a*a*a*a*b' divide a
// run of 2,000 letters in some 2000^5 / 5! ways) stops at the poll.
TEST(Cancel, StopsAPathologicalPattern) {
    Trie trie;
    ASSERT_TRUE(trie.add(std::string(2'000, 'a'), 1));
    CountingPoll poll{0, 3};
    Cancel cancel(&CountingPoll::poll, &poll);
    EXPECT_TRUE(trie.search("*a*a*a*a*b", false, &cancel).empty());
    EXPECT_TRUE(cancel.cancelled());
    EXPECT_EQ(poll.calls, 3);
}

// Many threads read one trie and one DAWG at once, alone and through the
// pool, and all get the answers of a lone reader.
TEST(Concurrency, ReadersOfOneLexiconAgree) {
    std::mt19937 rng(11);
    std::vector<std::string> words;
    for (int i = 0; i < 3'000; ++i) words.push_back(random_word(rng, 6));
    Trie trie;
    Dawg dawg;
    for (const std::string& w : words) ASSERT_TRUE(trie.add(w, 1));
    std::vector<std::string> sorted = words;
    std::sort(sorted.begin(), sorted.end());
    for (const std::string& w : sorted) ASSERT_TRUE(dawg.add(w, 1));
    dawg._reduce(0);

    std::vector<std::string> items(words.begin(), words.begin() + 300);
    items.insert(items.end(), {"*", "a*", "*a?", "", "?"});
    const auto expected_contains = trie.batch_contains(items);
    const auto expected_search = trie.batch_search(items);
    const auto expected_prefix = trie.batch_search_with_prefix(items);
    const auto expected_distance = trie.batch_search_within_distance(items, 1);

    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 6; ++t) {
        readers.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                if (t % 2 == 0) {
                    wrong += trie.batch_search(items) != expected_search;
                    wrong += dawg.batch_contains(items) != expected_contains;
                    wrong += dawg.batch_search_with_prefix(items) != expected_prefix;
                    wrong += trie.batch_search_within_distance(items, 1) != expected_distance;
                } else {
                    for (std::size_t i = 0; i < items.size(); i += 7) {
                        wrong += dawg.search(items[i]) != expected_search[i];
                        wrong += trie.contains(items[i]) != (expected_contains[i] != 0);
                        wrong += dawg.search_within_distance(items[i], 1) != expected_distance[i];
                    }
                }
            }
        });
    }
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace sorvan

namespace sorvan {
namespace {

// Every stored text[i, j) by brute force, in find_words' order; without
// overlap the longest at each start, then on from its end. Whole words:
// neither neighbour is a word character (`word_char`).
std::vector<std::pair<std::size_t, std::size_t>> brute_find(const Trie& trie, const std::u32string& text,
                                                            bool overlapping, bool whole, bool (*word_char)(char32_t)) {
    std::vector<std::pair<std::size_t, std::size_t>> found;
    std::size_t next = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::size_t longest = 0;
        for (std::size_t j = i + 1; j <= text.size(); ++j) {
            std::string word;
            for (std::size_t k = i; k < j; ++k) utf8::append(word, text[k]);
            const bool free = !whole || ((i == 0 || !word_char(text[i - 1])) && (j == text.size() || !word_char(text[j])));
            if (!trie.contains(word) || !free) continue;
            if (overlapping) found.emplace_back(i, j);
            longest = j;
        }
        if (!overlapping && longest != 0 && i >= next) {
            found.emplace_back(i, longest);
            next = longest;
        }
    }
    return found;
}

// find_all on a text kept at the given unit width.
template <class Unit>
std::vector<std::pair<std::size_t, std::size_t>> find_as(const Trie& trie, const std::u32string& text,
                                                         const FindOptions& options) {
    const std::vector<Unit> units(text.begin(), text.end());
    std::vector<std::pair<std::size_t, std::size_t>> found;
    const bool done = trie.find_all(TextUnits{units.data(), units.size(), sizeof(Unit)}, options, nullptr,
                                    [&](const TextMatch& m) {
                                        found.emplace_back(m.start, m.end);
                                        return true;
                                    });
    EXPECT_TRUE(done);
    return found;
}

bool is_x(char32_t c) noexcept { return c == U'\u00e9'; }  // a word character beyond ASCII

// The reference's own word characters: ASCII letters, digits and '_' (which
// joins words: "cat_food" holds no whole "cat"), and is_x beyond ASCII.
bool reference_word_char(char32_t c) {
    return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9') || c == U'_' || is_x(c);
}

TEST(FindWords, EqualsBruteForceAtEveryWidthOnBothForms) {
    std::mt19937 rng(35);
    const std::u32string alphabet = U"ab _\u00e9";
    auto draw = [&](std::size_t max) {
        std::u32string s(rng() % (max + 1), U'a');
        for (char32_t& c : s) c = alphabet[rng() % alphabet.size()];
        return s;
    };
    for (int round = 0; round < 60; ++round) {
        Trie trie;
        for (int w = 0; w < 8; ++w) {
            std::string word;
            for (char32_t c : draw(4)) utf8::append(word, c);
            ASSERT_TRUE(trie.add(word, 1));
        }
        const std::u32string text = draw(24);
        for (bool compact : {false, true}) {
            if (compact) {
                ASSERT_TRUE(trie.compact());
            }
            for (int mode = 0; mode < 4; ++mode) {
                const FindOptions options{.overlapping = mode < 2, .whole_words = mode % 2 == 1, .word_char = &is_x};
                const auto expected = brute_find(trie, text, options.overlapping, options.whole_words, &reference_word_char);
                EXPECT_EQ(find_as<std::uint16_t>(trie, text, options), expected);
                EXPECT_EQ(find_as<std::uint32_t>(trie, text, options), expected);
                EXPECT_EQ(find_as<std::uint8_t>(trie, text, options), expected);  // é is Latin-1
            }
        }
    }
}

TEST(FindWords, StopsWhenToldOrCancelled) {
    Trie trie;
    for (std::string run = "a"; run.size() <= 64; run += 'a') ASSERT_TRUE(trie.add(run, 1));
    const std::vector<std::uint8_t> text(1 << 16, 'a');
    const TextUnits units{text.data(), text.size(), 1};
    std::size_t seen = 0;
    EXPECT_FALSE(trie.find_all(units, {}, nullptr, [&](const TextMatch&) { return ++seen < 100; }));
    EXPECT_EQ(seen, 100u);
    int polls = 0;
    Cancel cancel([](void* n) noexcept { return ++*static_cast<int*>(n) == 2; }, &polls);
    seen = 0;
    EXPECT_FALSE(trie.find_all(units, {}, &cancel, [&](const TextMatch&) { return ++seen, true; }));
    EXPECT_TRUE(cancel.cancelled());
    EXPECT_LT(seen, 64u * text.size());  // stopped after about two intervals of steps
    EXPECT_LE(seen, 3u * Cancel::interval);
}

}  // namespace
}  // namespace sorvan
