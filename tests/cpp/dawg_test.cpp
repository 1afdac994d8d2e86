#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dawg/dawg.hpp"
#include "signature_text.hpp"
#include "utils/utf8.hpp"
#include "temp_file.hpp"

namespace sorvan {
namespace {

// Registry keys made from readable signature text.
SignatureRegistry::Key key_of(const SignatureRegistry& registry, std::string_view text) {
    SignatureRegistry::Key key;
    registry.prepare([text](SignatureRegistry::Packer& packer) { packer.bytes(text); }, key);
    return key;
}

// Enters text signatures the way the Dawg enters its keys: room first.
void enter_text(SignatureRegistry& registry, std::string_view text, NodeIndex node) {
    const SignatureRegistry::Key key = key_of(registry, text);
    registry.reserve({&key, 1});
    registry.enter(key, node);
}

void add_all(Dawg& dawg, std::initializer_list<const char*> words) {
    for (const char* w : words) ASSERT_TRUE(dawg.add(w, 1)) << w;
}

std::uint64_t count_of(const Dawg& dawg, std::string_view word) {
    auto at = dawg.nodes().walk(word);
    return at ? dawg.nodes()[*at].count : ~std::uint64_t{0};
}

TEST(Dawg, NewDawg) {
    Dawg dawg;
    EXPECT_TRUE(dawg.contains(""));
    EXPECT_TRUE(dawg.contains_prefix(""));
    EXPECT_FALSE(dawg.contains("a"));
    EXPECT_EQ(dawg.word_count(), 0u);
    EXPECT_EQ(dawg.registry_size(), 0u);
    EXPECT_EQ(dawg.node_count(), 1u);
}

TEST(Dawg, OrderViolationChangesNothing) {
    Dawg dawg;
    add_all(dawg, {"b"});
    auto failed = dawg.add("a", 1);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind(), SorvanError::Kind::OrderViolation);
    EXPECT_EQ(failed.error().display(),
              "Words must be inserted in alphabetical order. Previous: 'b', Current: 'a'");
    EXPECT_EQ(dawg.node_count(), 2u);
    EXPECT_EQ(dawg.previous_word(), "b");
    ASSERT_TRUE(dawg.add("b", 2));
    EXPECT_EQ(count_of(dawg, "b"), 3u);
    EXPECT_EQ(dawg.word_count(), 3u);
}

TEST(Dawg, OrderIsByteWise) {
    Dawg upper_first;
    ASSERT_TRUE(upper_first.add("B", 1));
    EXPECT_TRUE(upper_first.add("a", 1));
    EXPECT_TRUE(upper_first.add("\xc3\xa9", 1));  // é after every ASCII letter
    Dawg lower_first;
    ASSERT_TRUE(lower_first.add("a", 1));
    EXPECT_FALSE(lower_first.add("B", 1));
}

TEST(Dawg, RepeatedWordAddsToItsCount) {
    Dawg dawg;
    ASSERT_TRUE(dawg.add("a", 2));
    ASSERT_TRUE(dawg.add("a", 3));
    EXPECT_EQ(count_of(dawg, "a"), 5u);
    EXPECT_EQ(dawg.word_count(), 5u);
    EXPECT_EQ(dawg.node_count(), 2u);
}

TEST(Dawg, CountZeroMakesAMember) {
    Dawg dawg;
    ASSERT_TRUE(dawg.add("a", 0));
    EXPECT_TRUE(dawg.contains("a"));
    EXPECT_EQ(dawg.word_count(), 0u);
}

TEST(Dawg, ExtensionKeepsTheStack) {
    Dawg dawg;
    add_all(dawg, {"ab", "abc"});
    EXPECT_EQ(dawg.registry_size(), 0u);
    EXPECT_EQ(dawg.unchecked_size(), 3u);
    EXPECT_EQ(dawg.node_count(), 4u);
    EXPECT_TRUE(dawg.contains("ab"));
    EXPECT_TRUE(dawg.contains("abc"));
}

struct RegistryCase {
    std::vector<const char*> words;
    std::size_t nodes, before, after;
};

class RegistrySizes : public ::testing::TestWithParam<RegistryCase> {};

TEST_P(RegistrySizes, BeforeAndAfterFullReduction) {
    const RegistryCase& c = GetParam();
    Dawg dawg;
    for (const char* w : c.words) ASSERT_TRUE(dawg.add(w, 1));
    EXPECT_EQ(dawg.node_count(), c.nodes);
    EXPECT_EQ(dawg.registry_size(), c.before);
    dawg._reduce(0);
    EXPECT_EQ(dawg.registry_size(), c.after);
    EXPECT_EQ(dawg.unchecked_size(), 0u);
    dawg._reduce(0);
    EXPECT_EQ(dawg.registry_size(), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Dawg, RegistrySizes,
    ::testing::Values(RegistryCase{{"a"}, 2, 0, 1}, RegistryCase{{"a", "b"}, 3, 1, 2},
                      RegistryCase{{"ab", "cb"}, 5, 2, 3},
                      RegistryCase{{"tap", "taps", "top", "tops"}, 8, 3, 6},
                      RegistryCase{{"ash", "ashes", "ashley"}, 9, 2, 8},
                      RegistryCase{{"apple"}, 6, 0, 5}));

TEST(Dawg, SignatureFormat) {
    Dawg dawg;
    add_all(dawg, {"ab", "ac"});
    EXPECT_EQ(signature_text(dawg.nodes(), 1), "a00b2c3");  // 'a', count 0, children b->2, c->3
    EXPECT_EQ(signature_text(dawg.nodes(), 2), "b11");
    ASSERT_TRUE(dawg.add("ac", 41));
    EXPECT_EQ(signature_text(dawg.nodes(), 3), "c421");
}

// The registry keys whole signature strings, so two different nodes whose
// components run together into the same digits share one entry.
TEST(SignatureRegistry, KeysAreWholeStrings) {
    SignatureRegistry registry;
    enter_text(registry, "x11123", 5);
    enter_text(registry, "x11123", 9);
    enter_text(registry, "x1112", 7);
    EXPECT_EQ(registry.size(), 2u);
    enter_text(registry, "x111", 7);
    EXPECT_EQ(registry.size(), 3u);
}

// Every key is found again after the table grew many times: entering them
// all a second time adds nothing.
TEST(SignatureRegistry, SurvivesGrowthAndLongKeys) {
    SignatureRegistry registry;
    for (int round = 0; round < 2; ++round) {
        for (NodeIndex i = 0; i < 5000; ++i) {
            enter_text(registry, std::string(i % 300, 'k') + std::to_string(i), i);
        }
        EXPECT_EQ(registry.size(), 5000u);
    }
}

TEST(Dawg, AddAfterReduceSharingAPrefix) {
    Dawg dawg;
    add_all(dawg, {"ab"});
    dawg._reduce(0);
    add_all(dawg, {"b"});
    EXPECT_TRUE(dawg.contains("ab"));
    EXPECT_TRUE(dawg.contains("b"));

    Dawg deep;
    add_all(deep, {"abc"});
    deep._reduce(0);
    add_all(deep, {"abd", "abde", "abe", "ac"});
    for (const char* w : {"abc", "abd", "abde", "abe", "ac"}) EXPECT_TRUE(deep.contains(w)) << w;
    EXPECT_FALSE(deep.contains("ab"));
    EXPECT_EQ(deep.node_count(), 8u);  // root a b c d e e c: one path per word
    deep._reduce(0);
    EXPECT_EQ(deep.unchecked_size(), 0u);
    EXPECT_LE(deep.registry_size(), deep.node_count() - 1);
}

TEST(Dawg, EmptyWord) {
    Dawg dawg;
    ASSERT_TRUE(dawg.add("", 1));
    EXPECT_EQ(dawg.word_count(), 1u);
    EXPECT_EQ(std::uint64_t{dawg.nodes()[0].count}, 1u);
    EXPECT_FALSE(dawg.nodes()[0].is_end);
    ASSERT_TRUE(dawg.add("a", 1));
    EXPECT_FALSE(dawg.add("", 1));
}

// Interleaves ascending adds (repeats, zero counts, shared prefixes) with
// reductions at random points and checks every word, count, prefix and the
// stack against a plain model.
TEST(Dawg, RandomInterleavingsMatchAModel) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::string> words;
        const char* alphabet[] = {"a", "b", "c", "\xc3\xa9", "\xf0\x9f\x98\x80"};
        for (int i = 0; i < 40; ++i) {
            std::string w;
            for (int n = static_cast<int>(rng() % 5); n > 0; --n) w += alphabet[rng() % 5];
            words.push_back(w);
        }
        std::sort(words.begin(), words.end());
        Dawg dawg;
        std::map<std::string, std::uint64_t> model;
        std::uint64_t total = 0;
        for (const std::string& w : words) {
            const std::uint64_t count = rng() % 3;
            ASSERT_TRUE(dawg.add(w, count));
            if (!w.empty()) model[w] += count;
            total += count;
            if (rng() % 4 == 0) dawg._reduce(rng() % 3 == 0 ? 0 : rng() % 4);
        }
        EXPECT_EQ(dawg.word_count(), total);
        for (const auto& [w, count] : model) {
            EXPECT_TRUE(dawg.contains(w)) << w;
            EXPECT_EQ(count_of(dawg, w), count) << w;
            for (std::size_t i = 0; i <= w.size(); ++i) {
                const bool boundary = i == w.size() || (static_cast<unsigned char>(w[i]) & 0xC0) != 0x80;
                if (boundary) {
                    EXPECT_TRUE(dawg.contains_prefix(w.substr(0, i)));
                }
            }
        }
        // Only model words end at a node: one path per word, nothing else.
        std::size_t ends = 0;
        for (NodeIndex i = 0; i < dawg.node_count(); ++i) ends += dawg.nodes()[i].is_end;
        EXPECT_EQ(ends, model.size());
        dawg._reduce(0);
        EXPECT_EQ(dawg.unchecked_size(), 0u);
        EXPECT_LE(dawg.registry_size(), dawg.node_count() - 1);
    }
}

TEST(Dawg, AddFromFileSortsAddsAndReducesFully) {
    Dawg dawg;
    add_all(dawg, {"A"});
    testing_support::TempFile empty("\n \n");
    ASSERT_TRUE(dawg.add_from_file(empty.path()));  // nothing to add, still reduces
    EXPECT_EQ(dawg.unchecked_size(), 0u);
    EXPECT_EQ(dawg.registry_size(), 1u);

    testing_support::TempFile file("b\nB\na\n\xc3\xa9\nb\n");
    ASSERT_TRUE(dawg.add_from_file(file.path()));
    for (const char* w : {"A", "B", "a", "b", "\xc3\xa9"}) EXPECT_TRUE(dawg.contains(w)) << w;
    EXPECT_EQ(count_of(dawg, "b"), 2u);
    EXPECT_EQ(dawg.word_count(), 6u);
    EXPECT_EQ(dawg.previous_word(), "\xc3\xa9");
    EXPECT_EQ(dawg.unchecked_size(), 0u);
    EXPECT_EQ(dawg.registry_size(), 5u);
}

// Only the smallest word can be below the previous one. On that, or on an
// I/O error, nothing is added and the stack is not reduced.
TEST(Dawg, AddFromFileFailuresAddNothing) {
    Dawg dawg;
    add_all(dawg, {"apple", "apply"});
    testing_support::TempFile below("zebra\napplication\n");
    auto order = dawg.add_from_file(below.path());
    ASSERT_FALSE(order);
    EXPECT_EQ(order.error().display(),
              "Words must be inserted in alphabetical order. Previous: 'apply', Current: "
              "'application'");
    for (const std::string& path :
         {::testing::TempDir() + "sorvan_no_such_file", ::testing::TempDir()}) {
        auto added = dawg.add_from_file(path);
        ASSERT_FALSE(added) << path;
        EXPECT_EQ(added.error().kind(), SorvanError::Kind::Io);
    }
    EXPECT_FALSE(dawg.contains("zebra"));
    EXPECT_EQ(dawg.word_count(), 2u);
    EXPECT_EQ(dawg.unchecked_size(), 5u);
}

}  // namespace
}  // namespace sorvan

namespace sorvan {
namespace {

// The key made straight from a node must be the key of its signature
// string, or the registry would count entries differently.
TEST(SignatureRegistry, NodeKeysMatchSignatureKeys) {
    Dawg dawg;
    for (const char* w : {"1", "12", "a1", "a2x", "b", "z9", "\xc3\xa9\xf0\x9f\x98\x80"}) {
        ASSERT_TRUE(dawg.add(w, 11));
    }
    ASSERT_TRUE(dawg.add("\xc3\xa9\xf0\x9f\x98\x80", ~std::uint64_t{0} - 11));
    const SignatureRegistry& registry = dawg.registry();
    SignatureRegistry::Key from_node;
    for (NodeIndex i = 1; i < dawg.node_count(); ++i) {
        const std::string signature = signature_text(dawg.nodes(), i);
        registry.prepare(dawg.nodes()[i], dawg.nodes(), from_node);
        const SignatureRegistry::Key from_string = key_of(registry, signature);
        EXPECT_EQ(from_node.packed, from_string.packed) << signature;
        EXPECT_EQ(from_node.hash, from_string.hash) << signature;
    }
}

// Odd and even digit counts must not collide through padding.
TEST(SignatureRegistry, PaddingKeepsKeysApart) {
    SignatureRegistry registry;
    for (const char* s : {"a1", "a10", "a1\xff", "a", "a0", "a00"}) enter_text(registry, s, 1);
    EXPECT_EQ(registry.size(), 6u);
}

// The packer gathers nibbles in a word and hashes the key as it writes it:
// its bytes and hash must be those of packing one nibble at a time (a digit
// as itself, any other byte as 0xF and its halves, 0xF after an odd count)
// and of hash() over the result, for runs that cross its word in every way.
TEST(SignatureRegistry, PackerMatchesNibbleByNibble) {
    std::mt19937_64 rng(12);
    const std::uint64_t values[] = {0, 7, 10, 99, 4'294'967'295ULL, 9'999'999'999'999'999ULL,
                                    10'000'000'000'000'000ULL, 10'000'000'000'000'001ULL,
                                    12'345'678'901'234'567'890ULL, ~std::uint64_t{0}};
    const char32_t letters[] = {U'a', U'0', U'9', U'\x7f', U'\0', U'\xe9', U'\u0800', U'\U0001F600', U'\U0010FFFF'};
    SignatureRegistry registry;
    for (int round = 0; round < 3000; ++round) {
        std::vector<unsigned> nibbles;
        auto bytes = [&](std::string_view text) {
            for (unsigned char b : text) {
                if (b >= '0' && b <= '9') {
                    nibbles.push_back(b - '0');
                } else {
                    nibbles.insert(nibbles.end(), {0xFu, unsigned{b} >> 4, unsigned{b} & 0xFu});
                }
            }
        };
        std::vector<std::function<void(SignatureRegistry::Packer&)>> steps;
        for (int n = static_cast<int>(rng() % 24); n-- > 0;) {
            switch (rng() % 3) {
                case 0: {
                    const char32_t c = letters[rng() % std::size(letters)];
                    std::string text;
                    utf8::append(text, c);
                    bytes(text);
                    steps.push_back([c](SignatureRegistry::Packer& p) { p.letter(c); });
                    break;
                }
                case 1: {
                    const std::uint64_t v = rng() % 2 ? values[rng() % std::size(values)] : rng() >> (rng() % 64);
                    bytes(std::to_string(v));
                    steps.push_back([v](SignatureRegistry::Packer& p) { p.decimal(v); });
                    break;
                }
                default: {
                    const char d = rng() % 2 ? '1' : '0';
                    bytes(std::string(1, d));
                    steps.push_back([d](SignatureRegistry::Packer& p) { p.digit(d); });
                }
            }
        }
        if (nibbles.size() % 2) nibbles.push_back(0xF);
        std::string expected;
        for (std::size_t i = 0; i < nibbles.size(); i += 2) expected.push_back(static_cast<char>(nibbles[i] << 4 | nibbles[i + 1]));

        SignatureRegistry::Key key;
        registry.prepare([&](SignatureRegistry::Packer& p) { for (auto& step : steps) step(p); }, key);
        ASSERT_EQ(key.packed, expected) << "round " << round;
        ASSERT_EQ(key.hash, SignatureRegistry::hash(key.packed)) << "round " << round;
    }
}

// Keys entered late count once they are in, in the order they came, and
// a rollback forgets those still waiting along with the rest of its run.
TEST(SignatureRegistry, KeysEnteredLater) {
    SignatureRegistry registry;
    auto later = [&](const std::string& text, NodeIndex node) {
        SignatureRegistry::Key key = key_of(registry, text);
        registry.reserve({&key, 1});
        registry.enter_later(key, node);
    };
    for (NodeIndex i = 0; i < 100; ++i) later("k" + std::to_string(i % 70), i);
    EXPECT_LE(registry.size(), 70u);
    registry.flush();
    EXPECT_EQ(registry.size(), 70u);

    registry.mark();
    for (NodeIndex i = 0; i < 50; ++i) later("m" + std::to_string(i), i);  // some still waiting
    registry.roll_back();
    EXPECT_EQ(registry.size(), 70u);
    registry.flush();
    EXPECT_EQ(registry.size(), 70u);
    for (NodeIndex i = 0; i < 50; ++i) enter_text(registry, "m" + std::to_string(i), i);
    EXPECT_EQ(registry.size(), 120u);
    for (NodeIndex i = 0; i < 70; ++i) enter_text(registry, "k" + std::to_string(i), i);
    EXPECT_EQ(registry.size(), 120u);
}

}  // namespace
}  // namespace sorvan
