#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "compact/bytes.hpp"
#include "compact/image.hpp"
#include "compact/membership.hpp"
#include "dawg/dawg.hpp"
#include "image_target.hpp"
#include "temp_file.hpp"
#include "query/ordered.hpp"
#include "query/search.hpp"
#include "trie/trie.hpp"
#include "utils/sortable_words.hpp"
#include "utils/utf8.hpp"

namespace sorvan {
namespace {

// Letters that exercise every UTF-8 length, U+0000 and the wildcards.
const std::vector<std::string> letters = {"a", "b", "c", "*", "?", std::string(1, '\0'), "\xC3\xA9",
                                          "\xE6\x97\xA5", "\xF0\x9F\x98\x80"};

std::string random_word(std::mt19937& rng, std::size_t max_letters) {
    std::string word;
    const std::size_t n = rng() % (max_letters + 1);
    for (std::size_t i = 0; i < n; ++i) word += letters[rng() % letters.size()];
    return word;
}

std::uint64_t random_count(std::mt19937_64& rng) {
    switch (rng() % 4) {
        case 0: return 0;
        case 1: return 1;
        case 2: return ~std::uint64_t{0} - rng() % 3;
        default: return rng() % 1000;
    }
}

// Every query of `b` answers as `a` does, on `probes`.
template <class A, class B>
void expect_same_answers(const A& a, const B& b, const std::vector<std::string>& probes) {
    EXPECT_EQ(a.word_count(), b.word_count());
    for (const std::string& p : probes) {
        EXPECT_EQ(a.contains(p), b.contains(p)) << p;
        EXPECT_EQ(a.contains_prefix(p), b.contains_prefix(p)) << p;
        EXPECT_EQ(a.search(p, true), b.search(p, true)) << p;
        EXPECT_EQ(a.search(p + "*"), b.search(p + "*")) << p;
        EXPECT_EQ(a.search_with_prefix(p, true), b.search_with_prefix(p, true)) << p;
        for (std::uint64_t d : {0, 1, 2}) {
            EXPECT_EQ(a.search_within_distance(p, d, true), b.search_within_distance(p, d, true)) << p;
        }
    }
    EXPECT_EQ(a.batch_contains(probes), b.batch_contains(probes));
    EXPECT_EQ(a.batch_search_within_distance(probes, 1), b.batch_search_within_distance(probes, 1));
}

std::vector<std::uint8_t> bytes_of(const CompactImage& image) {
    return {image.data(), image.data() + image.size()};
}

TEST(Compact, TrieAnswersAsBeforeAndAfterItChangesAgain) {
    std::mt19937 rng(7);
    std::mt19937_64 counts(8);
    for (int round = 0; round < 60; ++round) {
        Trie plain, compacted;
        std::vector<std::string> probes{"", "*", "?*", "a*c"};
        for (int i = 0, n = static_cast<int>(rng() % 40); i < n; ++i) {
            const std::string w = random_word(rng, 6);
            const std::uint64_t c = random_count(counts);
            ASSERT_TRUE(plain.add(w, c));
            ASSERT_TRUE(compacted.add(w, c));
            probes.push_back(w);
            probes.push_back(random_word(rng, 4));
        }
        ASSERT_TRUE(compacted.compact());
        ASSERT_NE(compacted.image(), nullptr);
        EXPECT_EQ(compacted.node_count(), plain.node_count());
        expect_same_answers(plain, compacted, probes);
        // A change brings the nodes back; later answers match too.
        const std::string w = "b" + random_word(rng, 5);
        ASSERT_TRUE(plain.add(w, 3));
        ASSERT_TRUE(compacted.add(w, 3));
        EXPECT_EQ(compacted.image(), nullptr);
        EXPECT_EQ(compacted.node_count(), plain.node_count());
        probes.push_back(w);
        expect_same_answers(plain, compacted, probes);
    }
}

// A DAWG rebuilt from its image continues exactly as the original: same
// registry size now and after more additions, same order check.
TEST(Compact, DawgResumesBuildingWhereItStopped) {
    std::mt19937 rng(11);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::string> words;
        for (int i = 0, n = static_cast<int>(rng() % 30); i < n; ++i) words.push_back(random_word(rng, 5));
        std::sort(words.begin(), words.end());
        Dawg plain;
        std::optional<Dawg> copy;
        auto both = [&](auto&& step) {
            step(plain);
            if (copy) step(*copy);
        };
        for (std::size_t i = 0; i < words.size(); ++i) {
            const std::uint64_t c = i % 3 == 0 ? ~std::uint64_t{0} : i;
            const int repeats = 1 + static_cast<int>(rng() % 2);  // the same word again
            both([&](Dawg& d) {
                for (int r = 0; r < repeats; ++r) ASSERT_TRUE(d.add(words[i], c));
            });
            if (rng() % 3 == 0) both([](Dawg& d) { d._reduce(0); });
            if (rng() % 4 == 0) {
                auto bytes = *plain.build_image();
                auto image = CompactImage::copy_of(bytes->data(), bytes->size());
                ASSERT_TRUE(image) << image.error().display();
                auto restored = Dawg::from_image(std::move(*image));
                ASSERT_TRUE(restored);
                copy.emplace(std::move(*restored));
                EXPECT_EQ(copy->registry_size(), plain.registry_size());
                expect_same_answers(plain, *copy, words);
            }
            if (copy) {
                ASSERT_EQ(copy->registry_size(), plain.registry_size()) << round << " " << i;
            }
        }
        if (!copy) continue;
        // A refused word leaves the copy in its form; the switch back
        // brings the building state.
        if (!plain.previous_word().empty()) {
            const CompactImage* image = copy->image();
            both([](Dawg& d) { EXPECT_FALSE(d.add("", 1)); });
            EXPECT_EQ(copy->image(), image);
        }
        ASSERT_TRUE(copy->make_mutable(nullptr));
        EXPECT_EQ(copy->node_count(), plain.node_count());
        EXPECT_EQ(copy->previous_word(), plain.previous_word());
        EXPECT_EQ(copy->unchecked_size(), plain.unchecked_size());
        both([](Dawg& d) { d._reduce(0); });
        EXPECT_EQ(copy->registry_size(), plain.registry_size());
        expect_same_answers(plain, *copy, words);
    }
}

// Registry keys taken before a node gained children or count are kept.
TEST(Compact, DawgKeepsStaleRegistryKeys) {
    auto build = [](Dawg& d) {
        ASSERT_TRUE(d.add("ab", 1));
        d._reduce(0);
        ASSERT_TRUE(d.add("ab", 2));   // count of a registered node changes
        ASSERT_TRUE(d.add("abc", 1));  // and it gains a child
        d._reduce(0);
        ASSERT_TRUE(d.add("abd", 1));
    };
    Dawg plain, restored;
    build(plain);
    build(restored);
    ASSERT_TRUE(restored.compact());
    EXPECT_EQ(restored.registry_size(), plain.registry_size());
    for (Dawg* d : {&plain, &restored}) {
        ASSERT_TRUE(d->add("b", 1));
        d->_reduce(0);
    }
    EXPECT_EQ(restored.registry_size(), plain.registry_size());
    EXPECT_EQ(restored.image(), nullptr);
}

// Patterns with several `*` over words that share their suffixes: the
// compact search remembers the visits that found nothing, and must still
// find every word, in order.
// The larger lexicon remembers thousands of dead visits, enough for their
// set to become a bitmap.
TEST(Compact, StarSearchesOverSharedSuffixes) {
    struct Case {
        const char* letters;
        int words;
        std::size_t longest;
        const char* pattern_letters;
        int patterns;
    };
    for (const Case& c : {Case{"abc", 3000, 10, "abc*?", 400}, Case{"abcdefgh", 30000, 14, "abcdefgh**?", 60}}) {
        std::mt19937 rng(3);
        const std::size_t letters = std::strlen(c.letters), pattern_letters = std::strlen(c.pattern_letters);
        Trie mutable_trie, compact_trie;
        for (int i = 0; i < c.words; ++i) {
            std::string word;
            for (std::size_t k = 0, n = 1 + rng() % c.longest; k < n; ++k) word += c.letters[rng() % letters];
            const std::uint64_t count = rng() % 4;
            ASSERT_TRUE(mutable_trie.add(word, count));
            ASSERT_TRUE(compact_trie.add(word, count));
        }
        ASSERT_TRUE(compact_trie.compact());
        std::vector<std::string> patterns = {"*hgf", "*a*hh", "*ab?c", "*a*b*c*d*e*f*g*h"};
        for (int i = 0; i < c.patterns; ++i) {
            std::string& pattern = patterns.emplace_back();
            for (std::size_t k = 0, n = 1 + rng() % 9; k < n; ++k) pattern += c.pattern_letters[rng() % pattern_letters];
        }
        for (const std::string& pattern : patterns) {
            ASSERT_EQ(compact_trie.search(pattern, true), mutable_trie.search(pattern, true)) << pattern;
        }
    }
}

TEST(Compact, ReduceWithNothingToDoStaysCompact) {
    Dawg d;
    ASSERT_TRUE(d.sort_and_add(SortableWords{}));
    for (const char* w : {"a", "b"}) ASSERT_TRUE(d.add(w, 1));
    d._reduce(0);
    ASSERT_TRUE(d.compact());
    d._reduce(0);
    EXPECT_NE(d.image(), nullptr);
}

// A Cancel that says stop at its first poll, and how often it was asked.
struct StopAtOnce {
    int polls = 0;
    Cancel cancel{[](void* self) noexcept { return ++static_cast<StopAtOnce*>(self)->polls > 0; }, this};
};

// A Cancel that says stop at its poll number `at` (0: never), counting them.
struct StopAt {
    explicit StopAt(int at) : at(at) {}
    int at;
    int polls = 0;
    Cancel cancel{[](void* p) noexcept {
                      auto* self = static_cast<StopAt*>(p);
                      return ++self->polls == self->at;
                  },
                  this};
};

// Making, opening and undoing an image stop at a Cancel and change nothing:
// each is a pass over the whole lexicon.
template <class Lexicon>
void expect_image_passes_stop() {
    // Random words share few suffixes: the image has as many states to
    // check as there are steps between polls.
    std::mt19937 rng(3);
    std::vector<std::string> words(30000);
    for (std::string& word : words) {
        for (int i = 0; i < 10; ++i) word += static_cast<char>('a' + rng() % 26);
    }
    std::sort(words.begin(), words.end());
    Lexicon lexicon;
    for (const std::string& word : words) ASSERT_TRUE(lexicon.add(word, 1));
    const auto answers = lexicon.search("a?c*", true);
    {
        StopAtOnce stop;
        const auto made = lexicon.compact(&stop.cancel);
        ASSERT_FALSE(made);
        EXPECT_EQ(made.error().kind(), SorvanError::Kind::Cancelled);
        EXPECT_EQ(stop.polls, 1);
        EXPECT_EQ(lexicon.image(), nullptr);
        StopAtOnce again;
        EXPECT_FALSE(lexicon.build_image(&again.cancel));
    }
    auto bytes = *lexicon.build_image();
    {
        StopAtOnce stop;
        const auto opened = CompactImage::copy_of(bytes->data(), bytes->size(), &stop.cancel);
        ASSERT_FALSE(opened);
        EXPECT_EQ(opened.error().kind(), SorvanError::Kind::Cancelled);
    }
    ASSERT_TRUE(lexicon.compact());
    {
        StopAtOnce stop;
        ASSERT_FALSE(lexicon.make_mutable(&stop.cancel));
        ASSERT_NE(lexicon.image(), nullptr);
        // The membership index too: it places every state's edges.
        StopAtOnce index;
        EXPECT_EQ(MembershipIndex::build(lexicon.image()->graph(), &index.cancel), nullptr);
        EXPECT_EQ(index.polls, 1);
        EXPECT_NE(MembershipIndex::build(lexicon.image()->graph()), nullptr);
    }
    {
        // prepare() builds the membership index last, and it polls: a stop
        // at the last poll of a whole prepare() is one in that build, and
        // is reported, on a twin lexicon; the next prepare() builds it.
        Lexicon twin;
        for (const std::string& word : words) ASSERT_TRUE(twin.add(word, 1));
        ASSERT_TRUE(twin.compact());
        StopAt count(0);
        ASSERT_TRUE(lexicon.prepare(&count.cancel));
        ASSERT_GT(count.polls, 1);
        StopAt last(count.polls);
        const Status stopped = twin.prepare(&last.cancel);
        ASSERT_FALSE(stopped);
        EXPECT_EQ(stopped.error().kind(), SorvanError::Kind::Cancelled);
        EXPECT_TRUE(twin.prepare(nullptr));
        EXPECT_EQ(twin.search("a?c*", true), answers);
    }
    EXPECT_EQ(lexicon.search("a?c*", true), answers);
    ASSERT_TRUE(lexicon.make_mutable(nullptr));
    EXPECT_EQ(lexicon.image(), nullptr);
    EXPECT_EQ(lexicon.search("a?c*", true), answers);
}

TEST(Compact, ImagePassesStopAtACancel) {
    expect_image_passes_stop<Trie>();
    expect_image_passes_stop<Dawg>();
}

// Bulk insertions poll as the words go in. A stopped DAWG is exactly as it
// was, its image (building state included) byte for byte, and the same
// call then succeeds; a stopped Trie keeps the first words in ascending
// order.
TEST(Compact, BulkInsertionsStopAtACancel) {
    std::mt19937 rng(4);
    std::vector<std::string> words(20000);  // 200,000 letters: a dozen polls
    for (std::string& word : words) {
        for (int i = 0; i < 10; ++i) word += static_cast<char>('a' + rng() % 26);
    }
    const auto sortable = [&words] {
        SortableWords out;
        for (const std::string& word : words) out.push_back(word);
        return out;
    };
    const auto image_of = [](const auto& lexicon) {
        const auto bytes = *lexicon.build_image();
        return std::vector<std::uint8_t>(bytes->data(), bytes->data() + bytes->size());
    };
    std::sort(words.begin(), words.end());
    struct StopAt {
        int polls = 0;
        int at;
    };
    const Cancel::Poll poll = [](void* self) noexcept {
        auto& stop = *static_cast<StopAt*>(self);
        return ++stop.polls >= stop.at;
    };
    for (int at : {1, 2, 6}) {
        Dawg dawg;
        for (const char* w : {"0", "00", "01"}) ASSERT_TRUE(dawg.add(w, 1));  // "01" not reduced
        const auto before = image_of(dawg);
        const std::size_t registry = dawg.registry_size();
        StopAt stop{0, at};
        Cancel cancel(poll, &stop);
        const Status stopped = dawg.sort_and_add(sortable(), &cancel);
        ASSERT_FALSE(stopped) << at;
        EXPECT_EQ(stopped.error().kind(), SorvanError::Kind::Cancelled);
        EXPECT_EQ(stop.polls, at);
        EXPECT_EQ(image_of(dawg), before) << at;
        EXPECT_EQ(dawg.registry_size(), registry);
        EXPECT_EQ(dawg.previous_word(), "01");
        ASSERT_TRUE(dawg.sort_and_add(sortable()));
        EXPECT_EQ(dawg.word_count(), 3 + words.size());

        Trie trie;
        StopAt again{0, at};
        Cancel later(poll, &again);
        ASSERT_FALSE(trie.add_sorted(sortable(), &later));
        const std::vector<std::string> kept = trie.search("*").words();
        ASSERT_GT(kept.size(), 0u);
        ASSERT_LT(kept.size(), words.size());
        EXPECT_TRUE(std::equal(kept.begin(), kept.end(), words.begin())) << at;
        EXPECT_EQ(trie.word_count(), kept.size());
    }
}

// An image made straight from sorted words is the one their Trie makes,
// byte for byte; it stops at a Cancel.
TEST(Compact, SortedWordsMakeTheTriesImage) {
    std::mt19937 rng(5);
    std::mt19937_64 counts(6);
    for (int round = 0; round < 80; ++round) {
        std::vector<std::pair<std::string, std::uint64_t>> words;
        for (int i = 0, n = static_cast<int>(rng() % 60); i < n; ++i) {
            std::string w = random_word(rng, 7);
            if (!w.empty()) words.emplace_back(std::move(w), random_count(counts));
        }
        std::sort(words.begin(), words.end());
        words.erase(std::unique(words.begin(), words.end(), [](auto& a, auto& b) { return a.first == b.first; }),
                    words.end());
        Trie trie;
        SortableWords shuffled;
        std::vector<std::size_t> order(words.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), rng);
        for (std::size_t i : order) {
            ASSERT_TRUE(trie.add(words[i].first, words[i].second));
            shuffled.push_back(words[i].first);
        }
        shuffled.sort();
        std::vector<std::uint64_t> sorted_counts;
        for (const auto& [word, count] : words) sorted_counts.push_back(count);
        const auto expected = trie.build_image();
        const auto made = CompactImage::build_sorted(std::move(shuffled), sorted_counts);
        ASSERT_TRUE(expected && made);
        EXPECT_EQ(std::vector<std::uint8_t>((*made)->data(), (*made)->data() + (*made)->size()),
                  std::vector<std::uint8_t>((*expected)->data(), (*expected)->data() + (*expected)->size()));
    }
    SortableWords many;
    for (int i = 0; i < 100000; ++i) many.push_back(std::to_string(i));
    many.sort();
    StopAtOnce stop;
    const auto stopped = CompactImage::build_sorted(std::move(many), std::vector<std::uint64_t>(100000, 1), &stop.cancel);
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().kind(), SorvanError::Kind::Cancelled);
}

// The builders from sorted words make the image compact() makes of the
// same words, byte for byte: a Trie's of words added in any order, a DAWG's
// of sort_and_add(). Words repeat (counts add up), counts differ or are all
// equal, the empty word comes first, and digits as letters make signatures
// that read alike without separators (the DAWG's len() counts them once).
TEST(Compact, SortedBuildersMakeCompactsImage) {
    const std::vector<std::string> alphabet = {"a", "b", "0", "1", "5", "\xC3\xA9", "\xF0\x9F\x98\x80"};
    std::mt19937 rng(11);
    std::mt19937_64 wide(12);
    for (int round = 0; round < 240; ++round) {
        const int mode = round % 4;  // counts: mixed, all 1, all 7, small
        std::vector<std::pair<std::string, std::uint64_t>> words;
        for (int i = 0, n = static_cast<int>(rng() % 50); i < n; ++i) {
            std::string w;
            for (std::size_t k = 0, len = 1 + rng() % 5; k < len; ++k) w += alphabet[rng() % alphabet.size()];
            const std::uint64_t count = mode == 0 ? random_count(wide) : mode == 1 ? 1 : mode == 2 ? 7 : rng() % 13;
            words.emplace_back(w, count);
            if (rng() % 8 == 0) words.emplace_back(w, count);  // again
        }
        if (round % 3 == 0) words.emplace_back("", mode == 0 ? random_count(wide) : 1);
        std::shuffle(words.begin(), words.end(), rng);

        Trie trie;
        SortableWords tagged{SortableWords::WithTags{}};
        for (const auto& [word, count] : words) {
            ASSERT_TRUE(trie.add(word, count));
            tagged.push_back(word, count);
        }
        Dawg dawg;
        ASSERT_TRUE(dawg.sort_and_add(std::move(tagged)));
        std::stable_sort(words.begin(), words.end(), [](auto& x, auto& y) { return x.first < y.first; });
        Trie::Builder trie_builder;
        Dawg::Builder dawg_builder;
        for (const auto& [word, count] : words) {
            ASSERT_TRUE(trie_builder.add(word, count));
            ASSERT_TRUE(dawg_builder.add(word, count));
        }
        auto built_trie = trie_builder.finish();
        auto built_dawg = dawg_builder.finish();
        const auto trie_image = trie.build_image();
        const auto dawg_image = dawg.build_image();
        ASSERT_TRUE(built_trie && built_dawg && trie_image && dawg_image);
        EXPECT_EQ(bytes_of(*built_trie->image()), std::vector<std::uint8_t>((*trie_image)->data(),
                  (*trie_image)->data() + (*trie_image)->size())) << round;
        EXPECT_EQ(bytes_of(*built_dawg->image()), std::vector<std::uint8_t>((*dawg_image)->data(),
                  (*dawg_image)->data() + (*dawg_image)->size())) << round;
        EXPECT_EQ(built_dawg->registry_size(), dawg.registry_size()) << round;
    }
}

// Out of order, a builder refuses the word, naming both, and goes on as it
// was; the empty word is the DAWG's only before any other. A Cancel stops
// both the adding and the finishing.
TEST(Compact, SortedBuildersRefuseDisorderAndStop) {
    Dawg::Builder dawg;
    Trie::Builder trie;
    for (const char* w : {"b", "bc"}) ASSERT_TRUE(dawg.add(w, 2) && trie.add(w, 2));
    for (const char* w : {"a", "b", "ba", ""}) {
        const Status refused = dawg.add(w, 1);
        ASSERT_FALSE(refused) << w;
        EXPECT_EQ(refused.error().kind(), SorvanError::Kind::OrderViolation);
        EXPECT_EQ(refused.error().previous(), "bc");
        EXPECT_EQ(refused.error().current(), w);
        EXPECT_EQ(static_cast<bool>(trie.add(w, 1)), *w == '\0') << w;  // the Trie ignores ""
    }
    ASSERT_TRUE(dawg.add("bc", 3) && trie.add("c", 1));
    auto made = dawg.finish();
    ASSERT_TRUE(made);
    EXPECT_EQ(made->search("*", true).pairs(), (std::vector<WordCount>{{"b", 2}, {"bc", 5}}));
    ASSERT_TRUE(trie.finish());

    StopAtOnce stop;
    Trie::Builder stopped_add(&stop.cancel);
    Status added;
    for (int i = 0; added && i < 100000; ++i) added = stopped_add.add("w" + std::to_string(1000000 + i), 1);
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error().kind(), SorvanError::Kind::Cancelled);
    struct Armed {
        bool stop = false;
        Cancel cancel{[](void* self) noexcept { return static_cast<Armed*>(self)->stop; }, this};
    } later;
    Trie::Builder stopped_finish(&later.cancel);
    std::mt19937 rng(4);
    std::vector<std::string> many(30000);
    for (std::string& word : many) {
        for (int i = 0; i < 10; ++i) word += static_cast<char>('a' + rng() % 26);
    }
    std::sort(many.begin(), many.end());
    for (const std::string& word : many) ASSERT_TRUE(stopped_finish.add(word, 1));
    later.stop = true;
    const auto finished = stopped_finish.finish();
    ASSERT_FALSE(finished);
    EXPECT_EQ(finished.error().kind(), SorvanError::Kind::Cancelled);
}

TEST(Compact, SharedSuffixesAreStoredOnce) {
    // 2^12 words over {a, b}: a trie of 8191 nodes, a minimal graph of 13
    // states.
    Trie trie;
    for (int w = 0; w < 4096; ++w) {
        std::string word;
        for (int bit = 0; bit < 12; ++bit) word += (w >> bit) & 1 ? 'b' : 'a';
        ASSERT_TRUE(trie.add(word, static_cast<std::uint64_t>(w % 3)));
    }
    ASSERT_TRUE(trie.compact());
    EXPECT_EQ(trie.node_count(), 8191u);
    EXPECT_LT(trie.image()->size(), 1400u);  // the counts, 2 bits a word, are most of it
    EXPECT_EQ(trie.search("abababababab", true).pairs(),
              (std::vector<WordCount>{{"abababababab", 0b101010101010 % 3}}));
}

// Wide states, whose first and last letters bound where a letter can be:
// letters without gaps, with gaps, spread far apart, of several UTF-8
// lengths, each probed at every code point around them (at the root, and
// below two letters that share the state).
TEST(Compact, WideStatesFindExactlyTheirLetters) {
    const std::vector<std::vector<char32_t>> letter_sets = {
        {U'a', U'b', U'c', U'd', U'e', U'f', U'g', U'h', U'i', U'j', U'k', U'l', U'm'},
        {U'a', U'b', U'c', U'e', U'f', U'g', U'h', U'i', U'k', U'l', U'm', U'n', U'z'},
        {U'a', U'c', U'e', U'g', U'i', U'k', U'm', U'o', U'q', U's'},
        {U'A', U'Z', U'a', 0xE9, 0x100, 0x101, 0x102, 0x103, 0x104, 0x105, 0x3042, 0x1F600},
        {0x100, 0x101, 0x102, 0x103, 0x104, 0x105, 0x106, 0x107, 0x108, 0x109},
    };
    for (const auto& set : letter_sets) {
        Trie trie;
        for (const char32_t letter : set) {
            std::string alone;
            utf8::append(alone, letter);
            ASSERT_TRUE(trie.add(alone, 1));  // at the root
            for (const char* first : {"p", "q"}) ASSERT_TRUE(trie.add(first + alone, 1));
        }
        ASSERT_TRUE(trie.compact());
        ASSERT_NE(trie.image(), nullptr);
        for (const char32_t letter : set) {
            for (char32_t c = letter > 3 ? letter - 3 : 0; c <= letter + 3; ++c) {
                const bool listed = std::find(set.begin(), set.end(), c) != set.end();
                std::string alone;
                utf8::append(alone, c);
                EXPECT_EQ(trie.contains(alone), listed) << static_cast<std::uint32_t>(c);
                for (const char* first : {"p", "q"}) {
                    EXPECT_EQ(trie.contains(first + alone), listed) << static_cast<std::uint32_t>(c);
                }
            }
        }
    }
}

// Lookups resume from the thread's last path in a compact graph: sorted
// runs of words sharing letters of every UTF-8 length, long words sharing
// more bytes than a path keeps, lookups switching between lexicons, and a
// lexicon compacted anew (its new image may sit where the old one was).
TEST(Compact, LookupsInSortedRunsAnswerAsFromTheRoot) {
    std::mt19937 rng(11);
    const std::string long_stem(70, 'a');
    // Letters that part after their first bytes, as well as the usual ones.
    const std::vector<std::string> kin = {"\xC3\xA9", "\xC3\xA3", "\xE6\x97\xA5", "\xE6\x97\xA6",
                                          "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x81", "a"};
    auto letter = [&] { return rng() % 2 ? kin[rng() % kin.size()] : letters[rng() % letters.size()]; };
    auto random_word = [&](std::size_t max_letters) {
        std::string word;
        for (std::size_t i = 0, n = rng() % (max_letters + 1); i < n; ++i) word += letter();
        return word;
    };
    for (int round = 0; round < 40; ++round) {
        Trie plain[2], compacted[2];
        std::vector<std::string> probes;
        for (int k = 0; k < 2; ++k) {
            for (int i = 0; i < 30; ++i) {
                std::string w = random_word(7);
                if (i % 5 == 0) w = long_stem.substr(0, 55 + rng() % 15) + w;
                ASSERT_TRUE(plain[k].add(w, 1));
                ASSERT_TRUE(compacted[k].add(w, 1));
                probes.push_back(w);
                // Its prefixes, and words that part from it at each letter.
                for (const char* p = std::as_const(w).data(); p < w.data() + w.size();) {
                    utf8::next(p);
                    const std::string prefix(std::as_const(w).data(), p);
                    probes.push_back(prefix);
                    probes.push_back(prefix + letter());
                }
            }
            ASSERT_TRUE(compacted[k].compact());
        }
        std::sort(probes.begin(), probes.end());
        for (int pass = 0; pass < 2; ++pass) {
            for (const std::string& p : probes) {
                const int k = static_cast<int>(rng() % 4 == 0);  // mostly runs in one lexicon
                ASSERT_EQ(compacted[k].contains(p), plain[k].contains(p)) << p;
                ASSERT_EQ(compacted[k].contains_prefix(p), plain[k].contains_prefix(p)) << p;
            }
            // Compacted anew after a change: nothing of the old image's
            // paths may be taken for the new one's.
            for (int k = 0; k < 2; ++k) {
                const std::string w = random_word(5) + "b";
                ASSERT_TRUE(plain[k].add(w, 1));
                ASSERT_TRUE(compacted[k].add(w, 1));
                ASSERT_TRUE(compacted[k].compact());
                probes.push_back(w);
            }
            std::sort(probes.begin(), probes.end());
        }
    }
}

TEST(Compact, ImagesOfTheOtherKindAreRefused) {
    Dawg dawg;
    auto image = CompactImage::open(*dawg.build_image());
    ASSERT_TRUE(image);
    auto trie = Trie::from_image(std::move(*image));
    ASSERT_FALSE(trie);
    EXPECT_EQ(trie.error().kind(), SorvanError::Kind::InvalidImage);
}

TEST(Compact, SaveAndLoadWithAndWithoutMapping) {
    Trie trie;
    for (const char* w : {"car", "cart", "carts", "dart", "darts"}) ASSERT_TRUE(trie.add(w, 2));
    testing_support::TempFile file("");
    ASSERT_TRUE(trie.save(file.path()));
    for (bool map : {false, true}) {
        auto image = CompactImage::load(file.path(), map);
        ASSERT_TRUE(image) << image.error().display();
        auto loaded = Trie::from_image(std::move(*image));
        ASSERT_TRUE(loaded);
        expect_same_answers(trie, *loaded, {"car", "cart", "da", "x"});
    }
    auto missing = CompactImage::load(file.path() + ".missing", false);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().display(), "IO error: No such file or directory (os error 2)");
    auto directory = CompactImage::load(::testing::TempDir(), true);
    ASSERT_FALSE(directory);
    EXPECT_EQ(directory.error().display(), "IO error: Is a directory (os error 21)");
}

// ---------------------------------------------------------- hostile bytes ----

std::vector<std::uint8_t> sample_image() {
    Dawg dawg;
    for (const char* w : {"a", "ab", "abc", "ba", "b\xC3\xA9", "x\xF0\x9F\x98\x80"}) EXPECT_TRUE(dawg.add(w, 5));
    dawg._reduce(0);
    EXPECT_TRUE(dawg.add("x\xF0\x9F\x98\x80", 1));
    EXPECT_TRUE(dawg.add("x\xF0\x9F\x98\x80z", 1));
    auto image = CompactImage::open(*dawg.build_image());
    return bytes_of(*image);
}

// Opens `bytes`; when they pass, every query and the rebuild must work
// (the sanitizers watch for reads out of bounds), and the image must be a
// lexicon's: its words listed once each, ascending, each found with the
// count listed, and the same answers from the mutable form it switches to.
// Opened lazily, they answer alike, or meet the damage the whole check finds.
template <class Lexicon>
void use(Lexicon& lexicon) {
    auto answers = [&] {
        std::vector<WordList> found;
        for (const char* p : {"a", "ab*", "*", "?", "x", "w1*"}) {
            found.push_back(lexicon.search(p, true));
            found.push_back(lexicon.search_within_distance(p, 2, true));
        }
        return found;
    };
    const auto compact = answers();
    const WordList& all = compact[4];  // "*"
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (i > 0) {
            EXPECT_LT(all[i - 1], all[i]);
        }
        EXPECT_EQ(lexicon.count_of(all[i]), all.count(i)) << all[i];
    }
    ASSERT_TRUE(lexicon.make_mutable(nullptr));
    EXPECT_EQ(answers(), compact);
    ASSERT_TRUE(lexicon.add("zzz", 1));
}

void open_and_use(const std::vector<std::uint8_t>& bytes) {
    fuzz::exercise_lazily(bytes);
    auto image = CompactImage::copy_of(bytes.data(), bytes.size());
    if (!image) {
        EXPECT_EQ(image.error().kind(), SorvanError::Kind::InvalidImage);
        return;
    }
    if (image->kind() == LexiconKind::Trie) {
        auto trie = Trie::from_image(std::move(*image));
        ASSERT_TRUE(trie);
        use(*trie);
    } else if (auto dawg = Dawg::from_image(std::move(*image))) {
        use(*dawg);
    }
}

TEST(CompactHostile, EveryTruncationIsRefused) {
    const auto bytes = sample_image();
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        auto image = CompactImage::copy_of(bytes.data(), n);
        ASSERT_FALSE(image) << n;
        EXPECT_EQ(image.error().kind(), SorvanError::Kind::InvalidImage);
    }
}

TEST(CompactHostile, EveryBitFlipIsRefused) {
    auto bytes = sample_image();
    for (std::size_t bit = 0; bit < 8 * bytes.size(); ++bit) {
        bytes[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        EXPECT_FALSE(CompactImage::copy_of(bytes.data(), bytes.size())) << bit;
        bytes[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    }
}

// Edits of bytes [from, to) that keep the checksum right, so they reach the
// structural checks: each is refused or harmless. How many were refused.
int refused_resealed_edits(const std::vector<std::uint8_t>& original, std::size_t from, std::size_t to) {
    int refused = 0;
    for (std::size_t at = from; at < to; ++at) {
        for (std::uint8_t value : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
            auto bytes = original;
            if (bytes[at] == value) continue;
            bytes[at] = value;
            seal_image(bytes.data(), bytes.size());
            refused += !CompactImage::copy_of(bytes.data(), bytes.size());
            open_and_use(bytes);
        }
    }
    return refused;
}

TEST(CompactHostile, ResealedEditsAreRefusedOrHarmless) {
    const auto original = sample_image();
    EXPECT_GT(refused_resealed_edits(original, 8, original.size() - 8), 100);
    // The root's second edge given the first one's letter: a state that
    // repeats a letter, which no single byte value above makes.
    auto bytes = original;
    std::uint64_t graph;  // header field 5
    std::memcpy(&graph, bytes.data() + 48, 8);
    ASSERT_GE(bytes[graph] >> 2, 2);
    const unsigned widths = bytes[graph + 1];
    const unsigned lw = (widths & 3) + 1, record = lw + ((widths >> 2) & 3) + 1 + (widths >> 4);
    std::memcpy(bytes.data() + graph + 2 + record, bytes.data() + graph + 2, lw);
    seal_image(bytes.data(), bytes.size());
    const auto image = CompactImage::copy_of(bytes.data(), bytes.size());
    ASSERT_FALSE(image);
    EXPECT_EQ(image.error().display(), "Invalid lexicon image: bad or unsorted letters");
    open_and_use(bytes);
}

// Every edge's skip is checked, whichever round of four edges the check
// sums it in: in a ranked image, a root of twelve edges with any one skip
// off by one is refused.
TEST(CompactHostile, EverySkipOffByOneIsRefused) {
    Trie trie;
    const std::string firsts = "abcdefghijkl";
    for (std::size_t i = 0; i < firsts.size(); ++i) {
        for (std::size_t k = 0; k <= i % 3; ++k) ASSERT_TRUE(trie.add(firsts.substr(i, 1) + std::to_string(k), i + 1));
    }
    const auto original = bytes_of(*CompactImage::open(*trie.build_image()));
    std::uint64_t graph;  // header field 5
    std::memcpy(&graph, original.data() + 48, 8);
    const std::uint8_t* root = original.data() + graph;
    ASSERT_EQ(root[0], firsts.size() << 2);
    const unsigned widths = root[1];
    const unsigned lw = (widths & 3) + 1, dw = ((widths >> 2) & 3) + 1, sw = widths >> 4;
    ASSERT_GT(sw, 0u);  // the counts differ: the edges carry skips
    for (std::size_t i = 0; i < firsts.size(); ++i) {
        auto bytes = original;
        ++bytes[graph + 2 + i * (lw + dw + sw) + lw + dw];  // the skip's low byte (all below 255)
        seal_image(bytes.data(), bytes.size());
        auto image = CompactImage::copy_of(bytes.data(), bytes.size());
        ASSERT_FALSE(image) << i;
        EXPECT_EQ(image.error().display(), "Invalid lexicon image: a word rank does not match the words below") << i;
    }
}

// With one count for every word an image keeps no skips, so no ranks: the
// rank queries build a copy with them (an image built with `ranks`).
TEST(Compact, AnImageOfEqualCountsAnswersRanksThroughARankedCopy) {
    Trie trie;
    ASSERT_TRUE(trie.add("a1", 1) && trie.add("b1", 1) && trie.add("b2", 1) && trie.add("c", 1));
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(trie.add("x" + std::to_string(i), 1));
    auto ranked = CompactImage::open_built(CompactImage::build(trie.nodes(), LexiconKind::Trie, trie.word_count(),
                                                               trie.nodes().size(), nullptr, nullptr, true));
    ASSERT_TRUE(ranked && ranked->ranked());
    EXPECT_EQ(walk(ranked->graph(), "c")->rank, 3u);
    ASSERT_TRUE(trie.compact());
    EXPECT_FALSE(trie.image()->ranked());
    EXPECT_EQ(trie.rank_of("c"), 3u);
    EXPECT_EQ(trie.word_at("", 3), "c");
    EXPECT_EQ(trie.words_under("b"), 2u);
    EXPECT_EQ(trie.count_of("c"), 1u);
    EXPECT_EQ(trie.words_under(""), 204u);
}

// Ranks, the words under a prefix and the ordered walk, on the store and on
// the image (ranked where counts differ), answer as the sorted words do.
TEST(Compact, RanksAndOrderedWalksFollowCodePointOrder) {
    std::mt19937 rng(11);
    std::mt19937_64 counts(12);
    for (int round = 0; round < 40; ++round) {
        Trie trie;
        std::map<std::string, std::uint64_t> words;  // bytewise: code-point order
        for (int i = 0, n = static_cast<int>(rng() % 50); i < n; ++i) {
            const std::string w = random_word(rng, 6);
            const std::uint64_t c = random_count(counts);
            ASSERT_TRUE(trie.add(w, c));
            if (!w.empty()) words[w] += c;
        }
        std::vector<std::string> probes = {""};
        for (int i = 0; i < 6; ++i) probes.push_back(random_word(rng, 2));
        for (int form = 0; form < 2; ++form) {
            ASSERT_EQ(trie.image() != nullptr, form == 1);
            std::uint64_t rank = 0;
            for (const auto& [word, count] : words) {
                EXPECT_EQ(trie.rank_of(word), rank++) << word;
                EXPECT_EQ(trie.count_of(word), count) << word;
                EXPECT_FALSE(trie.rank_of(word + "\x01"));
            }
            for (const std::string& prefix : probes) {
                std::vector<std::pair<std::string, std::uint64_t>> under;
                for (const auto& entry : words) {
                    if (entry.first.starts_with(prefix)) under.push_back(entry);
                }
                ASSERT_EQ(trie.words_under(prefix), under.size()) << prefix;
                for (std::size_t i = 0; i < under.size(); ++i) EXPECT_EQ(trie.word_at(prefix, i), under[i].first);
                trie.visit_graph([&](const auto& graph) {
                    OrderedWalk<std::remove_cvref_t<decltype(graph)>> walk;
                    walk.start(graph, prefix);
                    std::vector<std::pair<std::string, std::uint64_t>> seen;
                    while (walk.next(graph)) seen.emplace_back(walk.word(), walk.count(graph));
                    EXPECT_EQ(seen, under) << prefix;
                });
            }
            ASSERT_TRUE(trie.compact());
        }
    }
}

// A graph of one-byte states without edges: more states than a valid graph
// of that size can have, past the room the checks set aside for them.
// Refused at the second, before the room runs out.
TEST(CompactHostile, AGraphOfEmptyStatesIsRefused) {
    Trie trie;
    for (int i = 0; i < 2000; ++i) EXPECT_TRUE(trie.add("w" + std::to_string(i * 7919), 1));
    auto bytes = bytes_of(*CompactImage::open(*trie.build_image()));
    std::uint64_t at, size;  // header fields 5 and 6
    std::memcpy(&at, bytes.data() + 48, 8);
    std::memcpy(&size, bytes.data() + 56, 8);
    ASSERT_GT(size, 1000u);
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), size, std::uint8_t{0});
    seal_image(bytes.data(), bytes.size());
    auto image = CompactImage::copy_of(bytes.data(), bytes.size());
    ASSERT_FALSE(image);
    EXPECT_EQ(image.error().display(), "Invalid lexicon image: more than one state without edges");
}

// An edge into the middle of a state, among enough edges that the check
// fetches ahead on both sides of it: refused, whatever else is sound.
//
// The image of `words` and 300 words under 'z' (which make the graph
// large enough for hubs), with where its graph starts and how many hubs
// it has (header fields 5 and 8).
struct ImageToEdit {
    std::vector<std::uint8_t> bytes;
    std::uint64_t graph = 0, hubs = 0;
};
ImageToEdit image_to_edit(std::initializer_list<const char*> words) {
    Trie trie;
    for (const char* w : words) EXPECT_TRUE(trie.add(w, 1));
    for (int i = 0; i < 300; ++i) EXPECT_TRUE(trie.add("z" + std::to_string(i * 7919), 1));
    ImageToEdit image{bytes_of(*CompactImage::open(*trie.build_image()))};
    std::memcpy(&image.graph, image.bytes.data() + 48, 8);
    std::memcpy(&image.hubs, image.bytes.data() + 72, 8);
    return image;
}

TEST(CompactHostile, AnEdgeIntoAStatesMiddleIsRefused) {
    auto [bytes, graph, hubs] = image_to_edit({"ab"});
    // The root: a header (two children, 'a' first), its widths, then the
    // record for 'a', whose target is a chain of two bytes ('b').
    std::uint8_t* root = bytes.data() + graph;
    ASSERT_EQ(root[0], 2u << 2);
    const unsigned widths = root[1];
    ASSERT_EQ(widths & 3, 0u);  // one-byte letters
    ASSERT_EQ(root[2], 'a');
    const unsigned target_width = ((widths >> 2) & 3) + 1;
    std::uint64_t field = 0;
    std::memcpy(&field, root + 3, target_width);
    ASSERT_GE(field, hubs);  // a distance, not a hub
    const std::uint64_t chain = field - hubs;
    ASSERT_EQ(root[chain], (1u << 2) | 2u);
    ASSERT_EQ(root[chain + 1], 'b');
    ++field;  // the chain's letter
    std::memcpy(root + 3, &field, target_width);
    seal_image(bytes.data(), bytes.size());
    auto image = CompactImage::copy_of(bytes.data(), bytes.size());
    ASSERT_FALSE(image);
    EXPECT_EQ(image.error().display(), "Invalid lexicon image: an edge target is not a state");
}

// A state whose edge leads back to itself, below the root (which the lazy
// open reads): the walks that reach it end, meet the damage and report it,
// and the check then says what it is.
TEST(CompactHostile, AnEdgeLeadingBackEndsTheWalksOfALazyOpen) {
    auto [bytes, graph, hubs] = image_to_edit({"ab", "ac"});
    std::uint8_t* root = bytes.data() + graph;
    ASSERT_EQ(root[2], 'a');  // the root's first record (one-byte letters)
    const unsigned root_targets = ((root[1] >> 2) & 3) + 1;
    std::uint64_t field = 0;
    std::memcpy(&field, root + 3, root_targets);
    ASSERT_GE(field, hubs);
    std::uint8_t* a = root + (field - hubs);  // two records, 'b' and 'c'
    ASSERT_EQ(a[0], 2u << 2);
    ASSERT_EQ(a[2], 'b');
    const unsigned a_targets = ((a[1] >> 2) & 3) + 1;
    std::memcpy(a + 3, &hubs, a_targets);  // distance 0: itself
    seal_image(bytes.data(), bytes.size());
    auto full = CompactImage::copy_of(bytes.data(), bytes.size());
    ASSERT_FALSE(full);
    EXPECT_EQ(full.error().display(), "Invalid lexicon image: an edge target out of range");
    auto lazy = CompactImage::open(owned_copy(bytes.data(), bytes.size()), nullptr, CompactImage::Check::lazy);
    ASSERT_TRUE(lazy);
    auto lexicon = Trie::from_image(std::move(*lazy));
    ASSERT_TRUE(lexicon);
    EXPECT_TRUE(lexicon->contains("z0"));  // a walk that stays clear of it
    EXPECT_FALSE(lexicon->image()->damaged());
    EXPECT_TRUE(lexicon->contains("ac"));
    EXPECT_FALSE(lexicon->contains("ab"));  // the damaged edge leads nowhere
    EXPECT_TRUE(lexicon->image()->damaged());
    (void)lexicon->search("a*", true);  // ends
    const Status found = lexicon->image()->check();
    ASSERT_FALSE(found);
    EXPECT_EQ(found.error().display(), full.error().display());
    EXPECT_FALSE(lexicon->add("zz", 1));  // no mutable form from damaged bytes
}

std::uint64_t field_of(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    std::uint64_t value;
    std::memcpy(&value, bytes.data() + at, 8);
    return value;
}
void set_field(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint64_t value) {
    std::memcpy(bytes.data() + at, &value, 8);
}

// Sound images edited and resealed so that they claim what their graph
// does not bear out; later additions would rely on each claim. Header
// fields at 24 (get_word_count()), 32 (len()), 40 (words), 48 and 56 (the
// graph's offset and size), 112 and 120 (the DAWG section's).
TEST(CompactHostile, ClaimsTheGraphDoesNotBearOutAreRefused) {
    Dawg dawg;  // "a" registered, "b" on the unchecked path
    ASSERT_TRUE(dawg.add("a", 1));
    ASSERT_TRUE(dawg.add("b", 1));
    const auto dawg_image = bytes_of(*CompactImage::open(*dawg.build_image()));
    Trie trie;
    ASSERT_TRUE(trie.add("a", 1));
    ASSERT_TRUE(trie.add("ab", 1));
    const auto trie_image = bytes_of(*CompactImage::open(*trie.build_image()));
    struct Case {
        const char* name;
        const std::vector<std::uint8_t>& original;
        void (*edit)(std::vector<std::uint8_t>&);
        const char* message;
    };
    const Case cases[] = {
        {"a last word below the greatest", dawg_image,
         [](std::vector<std::uint8_t>& b) { b[field_of(b, 112) + 8] = 'a'; },
         "the last word is not the greatest word"},
        {"no last word, but words", dawg_image,
         [](std::vector<std::uint8_t>& b) {
             const std::uint64_t at = field_of(b, 112);
             set_field(b, at, 0);      // depth 0, no word
             set_field(b, at + 8, 0);  // no stale keys
             set_field(b, 120, 16);
         },
         "the last word is not the greatest word"},
        {"a registry larger than its nodes", dawg_image,
         [](std::vector<std::uint8_t>& b) { set_field(b, 32, 2); }, "registry size does not match the graph"},
        {"an empty registry of registered nodes", dawg_image,
         [](std::vector<std::uint8_t>& b) { set_field(b, 32, 0); }, "registry size does not match the graph"},
        {"a word count", trie_image, [](std::vector<std::uint8_t>& b) { set_field(b, 24, ~std::uint64_t{0}); },
         "word count does not match the counts"},
        {"a dead end", trie_image,  // "ab" no word, and the totals to match
         [](std::vector<std::uint8_t>& b) {
             std::uint8_t& last_state = b[field_of(b, 48) + field_of(b, 56) - 1];
             ASSERT_EQ(last_state, 1u);  // the final state: ends a word, no edges
             last_state = 0;
             set_field(b, 40, 1);
             set_field(b, 24, 1);
         },
         "a state without edges ends no word"},
    };
    for (const Case& c : cases) {
        auto bytes = c.original;
        c.edit(bytes);
        seal_image(bytes.data(), bytes.size());
        if (auto image = CompactImage::copy_of(bytes.data(), bytes.size())) {
            ADD_FAILURE() << c.name << ": opened";
        } else {
            EXPECT_EQ(image.error().display(), std::string("Invalid lexicon image: ") + c.message) << c.name;
        }
    }
}

// What compact() made and its check refuses is a fault of its own: an
// Internal error, never the end of the process.
TEST(CompactHostile, AMadeImageThatFailsItsCheckIsAnInternalError) {
    struct Bytes final : ImageBytes {
        explicit Bytes(std::vector<std::uint8_t> bytes) : kept(std::move(bytes)) {
            data_ = kept.data();
            size_ = kept.size();
        }
        std::vector<std::uint8_t> kept;
    };
    auto bytes = sample_image();
    bytes[20] ^= 1;  // the file size
    auto image = CompactImage::open_built(std::make_unique<Bytes>(std::move(bytes)));
    ASSERT_FALSE(image);
    EXPECT_EQ(image.error().kind(), SorvanError::Kind::Internal);
    EXPECT_EQ(image.error().display().rfind("sorvan: internal error: a compact image fails its own check: size ", 0), 0u)
        << image.error().display();
}

// Stems with shared endings: the states of the endings are used by many
// parents far from them, which makes them hubs.
std::vector<std::uint8_t> image_with_hubs() {
    std::mt19937 rng(7);
    std::vector<std::string> words;
    for (int i = 0; i < 400; ++i) {
        std::string stem;
        for (int k = 0; k < 6; ++k) stem += static_cast<char>('a' + rng() % 26);
        for (const char* ending : {"", "s", "ing", "ed"}) words.push_back(stem + ending);
    }
    std::sort(words.begin(), words.end());
    Dawg dawg;
    for (const std::string& w : words) EXPECT_TRUE(dawg.add(w, 1 + w.size() % 3));
    auto image = CompactImage::open(*dawg.build_image());
    return bytes_of(*image);
}

TEST(CompactHostile, HubEditsAreRefusedOrHarmless) {
    const auto original = image_with_hubs();
    std::uint64_t hub_offset, hub_count;  // header fields 7 and 8
    std::memcpy(&hub_offset, original.data() + 64, 8);
    std::memcpy(&hub_count, original.data() + 72, 8);
    ASSERT_GT(hub_count, 0u);
    {
        auto image = CompactImage::copy_of(original.data(), original.size());
        ASSERT_TRUE(image);
        auto dawg = Dawg::from_image(std::move(*image));
        ASSERT_TRUE(dawg);
        EXPECT_EQ(dawg->search("*", true).size(), 1600u);
    }
    EXPECT_GT(refused_resealed_edits(original, hub_offset, hub_offset + 4 * hub_count), static_cast<int>(hub_count));
}

// Counts drawn from a heavy-tailed law: most words share a few small counts,
// so the counts take several levels of codes.
std::vector<std::uint8_t> image_with_count_levels(std::vector<std::pair<std::string, std::uint64_t>>& words) {
    std::mt19937_64 rng(11);
    for (int i = 0; i < 3000; ++i) {
        const double u = static_cast<double>(rng() >> 11) / static_cast<double>(1ull << 53);
        words.emplace_back("w" + std::to_string(i), static_cast<std::uint64_t>(1.0 / (1.0 - u)));
    }
    Trie trie;
    for (const auto& [word, count] : words) EXPECT_TRUE(trie.add(word, count));
    auto image = CompactImage::open(*trie.build_image());
    return bytes_of(*image);
}

TEST(Compact, CountsInSeveralLevelsComeBackByWord) {
    std::vector<std::pair<std::string, std::uint64_t>> words;
    const auto bytes = image_with_count_levels(words);
    std::uint64_t levels;  // header field 12: the level count in the low byte
    std::memcpy(&levels, bytes.data() + 104, 8);
    ASSERT_GE(levels & 0xFF, 2u);
    auto image = CompactImage::copy_of(bytes.data(), bytes.size());
    ASSERT_TRUE(image);
    auto trie = Trie::from_image(std::move(*image));
    ASSERT_TRUE(trie);
    for (const auto& [word, count] : words) {
        EXPECT_EQ(trie->search(word, true).pairs(), (std::vector<WordCount>{{word, count}})) << word;
    }
}

TEST(CompactHostile, CountLevelEditsAreRefusedOrHarmless) {
    std::vector<std::pair<std::string, std::uint64_t>> words;
    const auto original = image_with_count_levels(words);
    std::uint64_t index_offset;  // header field 11
    std::memcpy(&index_offset, original.data() + 96, 8);
    EXPECT_GT(refused_resealed_edits(original, 96, 112), 5);  // the section's offset and levels
    EXPECT_GT(refused_resealed_edits(original, index_offset, original.size() - 8), 100);
}

TEST(CompactHostile, FuzzCorpusReplays) {
    int seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(SORVAN_IMAGE_CORPUS)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        fuzz::exercise_image(bytes.data(), bytes.size());
        ++seeds;
    }
    EXPECT_GE(seeds, 4);
}

// Letters of every UTF-8 length, with leading bytes shared among them (é è
// under C3, 日 旦 under E6 97, 曀 under E6), and U+0000.
const std::vector<std::string> byte_sharing_letters = {"a", "b", std::string(1, '\0'), "\xC3\xA9", "\xC3\xA8",
                                                       "\xE6\x97\xA5", "\xE6\x97\xA6", "\xE6\x9B\x80",
                                                       "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x81"};

std::string word_of(std::mt19937& rng, std::size_t max_letters) {
    std::string word;
    for (std::size_t i = 0, n = rng() % (max_letters + 1); i < n; ++i) {
        word += byte_sharing_letters[rng() % byte_sharing_letters.size()];
    }
    return word;
}

// The index answers as the graph it is made from: the words and their
// prefixes in, words a letter longer or shorter out unless they are words,
// and a word's rank the graph's.
TEST(MembershipIndex, AnswersAsItsGraph) {
    std::mt19937 rng(13);
    for (int round = 0; round < 300; ++round) {
        Trie trie;
        std::vector<std::string> probes{"", "\xC3", "\xE6\x97"};
        for (int i = 0, n = static_cast<int>(rng() % 60); i < n; ++i) {
            const std::string w = word_of(rng, 7);
            ASSERT_TRUE(trie.add(w, round % 2 == 0 ? 1 : 1 + rng() % 3));
            probes.push_back(w + byte_sharing_letters[rng() % byte_sharing_letters.size()]);
            probes.push_back(word_of(rng, 4));
            for (const char* q = w.data();; utf8::next(q)) {  // every prefix of whole letters
                probes.emplace_back(w.data(), q);
                if (q == w.data() + w.size()) break;
            }
        }
        ASSERT_TRUE(trie.compact());
        const CompactGraph& graph = trie.image()->graph();
        const auto index = MembershipIndex::build(graph);
        // The same with most skips kept aside, as only the largest are.
        const auto aside = MembershipIndex::build(graph, nullptr, round % 3);
        ASSERT_NE(index, nullptr);
        ASSERT_NE(aside, nullptr);
        for (const std::string& p : probes) {
            // A byte cut from a letter leads nowhere in either.
            const auto at = utf8::is_valid(p) ? walk(graph, p) : std::nullopt;
            EXPECT_EQ(index->contains(p), p.empty() || (at && graph.is_end(*at))) << p;
            EXPECT_EQ(index->contains_prefix(p), at.has_value()) << p;
            if (p.empty()) continue;  // the empty word has no rank (and no count)
            const auto rank = at && graph.is_end(*at) ? std::optional(at->rank) : std::nullopt;
            // Ranks where counts differ; else narrow units, without them.
            ASSERT_EQ(index->has_ranks(), graph.counts_by_rank());
            if (!index->has_ranks()) continue;
            EXPECT_EQ(index->rank_of(p), rank) << p;
            EXPECT_EQ(aside->rank_of(p), rank) << p;
        }
    }
}

// A unit's fields at their limits (a base of 31 bits: graphs far past the
// old 2^23 units) read back apart: none spills into another.
TEST(MembershipIndex, UnitFieldsHoldTheirLimits) {
    using I = MembershipIndex;
    const std::uint64_t max_base = I::max_units - 1;
    for (const std::uint64_t base : {std::uint64_t{0}, std::uint64_t{1} << 23, max_base}) {
        for (const std::uint64_t skip : {std::uint64_t{0}, I::skip_escape - 1}) {
            for (const bool end : {false, true}) {
                for (const bool aside : {false, true}) {
                    const std::uint64_t unit = I::make_unit(0xFE, end, base, skip, aside);
                    EXPECT_EQ(unit & 0xFF, 0xFEu);
                    EXPECT_EQ((unit & I::end_bit) != 0, end);
                    EXPECT_EQ((unit >> I::base_shift) & I::base_mask, base);
                    EXPECT_EQ(unit >> I::skip_shift, aside ? I::skip_escape : skip);
                }
            }
        }
    }
    EXPECT_EQ(I::base_mask, I::max_units - 1);
}

// The cache builds the index once the lookups without it have walked as many
// letters as the graph has bytes, keeps it when moved, and drops it when
// cleared.
TEST(MembershipIndex, BuiltOnceTheLookupsRepayIt) {
    Trie trie;
    for (const char* w : {"apple", "apply", "banana", "band"}) ASSERT_TRUE(trie.add(w, 1));
    ASSERT_TRUE(trie.compact());
    const CompactGraph& graph = trie.image()->graph();
    MembershipCache cache;
    cache.count_walk(graph.size() * MembershipCache::worth - 1, graph);
    EXPECT_EQ(cache.index(), nullptr);
    cache.count_walk(1, graph);
    ASSERT_NE(cache.index(), nullptr);
    EXPECT_TRUE(cache.index()->contains("band"));
    MembershipCache moved(std::move(cache));
    EXPECT_EQ(cache.index(), nullptr);
    ASSERT_NE(moved.index(), nullptr);
    moved.clear();
    EXPECT_EQ(moved.index(), nullptr);
}

// Lookups on several threads at once, the index being built among them,
// answer as the mutable lexicon; so do they after a change, which drops it.
// Counts differ, so that once built, the index's ranks read them.
TEST(MembershipIndex, LexiconsAnswerAsBeforeWhileItIsBuilt) {
    std::mt19937 rng(17);
    Trie plain, compacted;
    std::vector<std::string> probes;
    for (int i = 0; i < 3000; ++i) {
        const std::string w = word_of(rng, 8);
        const std::uint64_t count = 1 + rng() % 5;
        ASSERT_TRUE(plain.add(w, count));
        ASSERT_TRUE(compacted.add(w, count));
        probes.push_back(w);
        probes.push_back(word_of(rng, 5));
    }
    for (int change = 0; change < 2; ++change) {
        ASSERT_TRUE(compacted.compact());
        const std::vector<std::uint8_t> expected = plain.batch_contains(probes);
        for (int pass = 0; pass < 8; ++pass) EXPECT_EQ(compacted.batch_contains(probes), expected);
        for (std::size_t i = 0; i < probes.size(); i += 7) {
            EXPECT_EQ(compacted.contains_prefix(probes[i]), plain.contains_prefix(probes[i])) << probes[i];
        }
        for (const std::string& p : probes) EXPECT_EQ(compacted.count_of(p), plain.count_of(p)) << p;
        const std::string w = "b" + word_of(rng, 6);
        ASSERT_TRUE(plain.add(w, 1));
        ASSERT_TRUE(compacted.add(w, 1));
        probes.push_back(w);
    }
}

}  // namespace
}  // namespace sorvan
