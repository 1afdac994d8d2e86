#include <gtest/gtest.h>

#include <string>

#include "temp_file.hpp"
#include "trie/trie.hpp"

namespace sorvan {
namespace {

// Invariants 1 and 3 of a trie: a tree whose edge letters match their
// targets, and a word count equal to the sum of the node counts.
void expect_trie_invariants(const Trie& trie) {
    const NodeStore& nodes = trie.nodes();
    std::vector<int> parents(nodes.size(), 0);
    std::uint64_t sum = 0;
    for (NodeIndex i = 0; i < nodes.size(); ++i) {
        sum += nodes[i].count;
        nodes.for_each_child(i, [&](Edge e) {
            ++parents[e.child];
            EXPECT_EQ(nodes[e.child].letter, e.letter);
        });
    }
    EXPECT_EQ(parents[0], 0);
    for (std::size_t i = 1; i < parents.size(); ++i) EXPECT_EQ(parents[i], 1) << "node " << i;
    EXPECT_EQ(sum, trie.word_count());
    EXPECT_FALSE(nodes[0].is_end);
}

TEST(Trie, NewTrie) {
    Trie trie;
    EXPECT_EQ(trie.node_count(), 1u);
    EXPECT_EQ(trie.word_count(), 0u);
    EXPECT_TRUE(trie.contains(""));
    EXPECT_EQ(trie.prefix_node(""), NodeIndex{0});
    EXPECT_FALSE(trie.contains("a"));
    EXPECT_FALSE(trie.contains_prefix("a"));
}

TEST(Trie, EmptyWordChangesNothing) {
    Trie trie;
    ASSERT_TRUE(trie.add("", 5));
    EXPECT_EQ(trie.node_count(), 1u);
    EXPECT_EQ(trie.word_count(), 0u);
    EXPECT_FALSE(trie.nodes()[0].is_end);
}

TEST(Trie, AbcMakesFourNodesOnOnePath) {
    Trie trie;
    ASSERT_TRUE(trie.add("abc", 1));
    ASSERT_EQ(trie.node_count(), 4u);
    const NodeStore& nodes = trie.nodes();
    EXPECT_EQ(nodes[3].letter, U'c');
    EXPECT_TRUE(nodes[3].is_end);
    EXPECT_EQ(std::uint64_t{nodes[3].count}, 1u);
    EXPECT_TRUE(trie.contains("abc"));
    EXPECT_FALSE(trie.contains("ab"));
    EXPECT_FALSE(trie.contains("abcd"));
    EXPECT_EQ(trie.prefix_node("ab"), NodeIndex{2});
    expect_trie_invariants(trie);
}

TEST(Trie, RepeatedAddsSumCountsWithoutNewNodes) {
    Trie trie;
    ASSERT_TRUE(trie.add("abc", 5));
    ASSERT_TRUE(trie.add("abc", 1));
    EXPECT_EQ(std::uint64_t{trie.nodes()[3].count}, 6u);
    EXPECT_EQ(trie.word_count(), 6u);
    EXPECT_EQ(trie.node_count(), 4u);
    ASSERT_TRUE(trie.add("ab", 1));
    EXPECT_EQ(trie.node_count(), 4u);
    EXPECT_TRUE(trie.nodes()[2].is_end);
    EXPECT_EQ(trie.word_count(), 7u);
}

TEST(Trie, CountZeroMakesAMemberWithoutCounting) {
    Trie trie;
    ASSERT_TRUE(trie.add("x", 0));
    EXPECT_TRUE(trie.contains("x"));
    EXPECT_EQ(trie.word_count(), 0u);
}

TEST(Trie, CountsWrapAroundAt2To64) {
    Trie trie;
    ASSERT_TRUE(trie.add("a", ~std::uint64_t{0}));
    ASSERT_TRUE(trie.add("a", 2));
    EXPECT_EQ(std::uint64_t{trie.nodes()[1].count}, 1u);
    EXPECT_EQ(trie.word_count(), 1u);
}

TEST(Trie, NormalisationFormsAreDifferentWords) {
    Trie trie;
    ASSERT_TRUE(trie.add("\u00e9", 1));   // precomposed: one letter
    ASSERT_TRUE(trie.add("e\u0301", 1));  // decomposed: two letters
    EXPECT_EQ(trie.node_count(), 4u);
    EXPECT_TRUE(trie.contains("\u00e9"));
    EXPECT_TRUE(trie.contains("e\u0301"));
    EXPECT_FALSE(trie.contains("e"));
}

TEST(Trie, NonBmpCharacterIsOneLetter) {
    Trie trie;
    ASSERT_TRUE(trie.add("\U0001F600x", 1));
    EXPECT_EQ(trie.node_count(), 3u);
    EXPECT_EQ(trie.nodes()[1].letter, U'\U0001F600');
}

TEST(Trie, WildcardCharactersAreOrdinaryLetters) {
    Trie trie;
    ASSERT_TRUE(trie.add("a*?", 1));
    EXPECT_TRUE(trie.contains("a*?"));
    EXPECT_FALSE(trie.contains("ab?"));
}

TEST(Trie, InvariantsHoldOverMixedInsertions) {
    Trie trie;
    for (const char* w : {"banana", "band", "b", "apple", "\xc3\xa9t\xc3\xa9", "ban", "zz", "apple"}) {
        ASSERT_TRUE(trie.add(w, 2));
    }
    expect_trie_invariants(trie);
    EXPECT_EQ(trie.word_count(), 16u);
    EXPECT_TRUE(trie.contains("ban"));
    EXPECT_FALSE(trie.contains("bana"));
    EXPECT_TRUE(trie.contains_prefix("bana"));
}

TEST(Trie, AddFromFileAddsEachWordOnce) {
    testing_support::TempFile file("b\n  apple \r\n\n\t\nB\nb\n\xc0\xaf\napply");
    Trie trie;
    ASSERT_TRUE(trie.add("apple", 5));
    ASSERT_TRUE(trie.add_from_file(file.path()));
    EXPECT_EQ(trie.word_count(), 10u);
    EXPECT_EQ(std::uint64_t{trie.nodes()[*trie.prefix_node("b")].count}, 2u);
    EXPECT_EQ(std::uint64_t{trie.nodes()[*trie.prefix_node("apple")].count}, 6u);
    EXPECT_TRUE(trie.contains("B") && trie.contains("apply"));
    expect_trie_invariants(trie);

    const std::size_t nodes = trie.node_count();
    for (const std::string& path :
         {::testing::TempDir() + "sorvan_no_such_file", ::testing::TempDir()}) {
        auto added = trie.add_from_file(path);
        ASSERT_FALSE(added) << path;
        EXPECT_EQ(added.error().kind(), SorvanError::Kind::Io);
    }
    EXPECT_EQ(trie.node_count(), nodes);
    EXPECT_EQ(trie.word_count(), 10u);
}

}  // namespace
}  // namespace sorvan
