#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "node/node.hpp"

namespace sorvan {
namespace {

std::vector<Edge> edges_of(const NodeStore& store, NodeIndex parent) {
    std::vector<Edge> edges;
    store.for_each_child(parent, [&](Edge e) { edges.push_back(e); });
    return edges;
}

TEST(NodeStore, NewStoreHoldsOnlyTheRoot) {
    NodeStore store;
    ASSERT_EQ(store.size(), 1u);
    EXPECT_EQ(store[0].letter, 0u);
    EXPECT_EQ(std::uint64_t{store[0].count}, 0u);
    EXPECT_FALSE(store[0].is_end);
    EXPECT_EQ(store[0].child_count, 0u);
    EXPECT_EQ(store.walk(""), NodeIndex{0});
    EXPECT_FALSE(store.walk("a"));
}

TEST(NodeStore, AppendedChildGetsTheNextIndexAndItsLetter) {
    NodeStore store;
    NodeIndex a = store.append_child(0, U'a');
    NodeIndex b = store.append_child(a, U'b');
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(b, 2u);
    EXPECT_EQ(NodeStore::id(b), 2u);
    EXPECT_EQ(store[b].letter, U'b');
    EXPECT_EQ(store.child(0, U'a'), a);
    EXPECT_EQ(store.child(a, U'b'), b);
    EXPECT_EQ(store.walk("ab"), b);
}

TEST(NodeStore, ChildrenIterateInCodePointOrder) {
    NodeStore store;
    for (Letter c : {U'b', U'a', U'\u00e9'}) store.append_child(0, c);
    auto edges = edges_of(store, 0);
    ASSERT_EQ(edges.size(), 3u);
    EXPECT_EQ(edges[0].letter, U'a');
    EXPECT_EQ(edges[1].letter, U'b');
    EXPECT_EQ(edges[2].letter, U'\u00e9');
    // Each edge leads to the node created for its letter.
    for (const Edge& e : edges) EXPECT_EQ(store[e.child].letter, e.letter);
}

TEST(NodeStore, MissingLetterYieldsNothingAndChangesNothing) {
    NodeStore store;
    store.append_child(0, U'x');
    EXPECT_EQ(store.child(0, U'y'), NodeStore::no_child);
    EXPECT_EQ(store.child(1, U'x'), NodeStore::no_child);
    EXPECT_EQ(store.size(), 2u);
}

// Growing a node through every block size, in a scrambled order, keeps the
// edges sorted and each one pointing at its own node; freed blocks are
// reused by other nodes without corrupting them.
TEST(NodeStore, ManyChildrenStaySortedThroughBlockGrowth) {
    NodeStore store;
    const NodeIndex left = store.append_child(0, U'L');
    const NodeIndex right = store.append_child(0, U'R');
    std::vector<Letter> letters;
    for (Letter c = 0; c < 700; ++c) letters.push_back((c * 7919u) % 700u + 0x1F600u);
    for (Letter c : letters) {
        store.append_child(left, c);
        store.append_child(right, c);
    }
    for (NodeIndex parent : {left, right}) {
        auto edges = edges_of(store, parent);
        ASSERT_EQ(edges.size(), 700u);
        for (std::size_t i = 0; i < edges.size(); ++i) {
            EXPECT_EQ(edges[i].letter, 0x1F600u + i);
            EXPECT_EQ(store[edges[i].child].letter, edges[i].letter);
            EXPECT_EQ(store.child(parent, edges[i].letter), edges[i].child);
        }
    }
}

TEST(NodeStore, EveryIndexInAMapIsBelowTheSize) {
    NodeStore store;
    NodeIndex at = 0;
    for (Letter c : std::u32string(U"abcabcxyz")) at = store.append_child(at % 3, c);
    for (NodeIndex i = 0; i < store.size(); ++i) {
        store.for_each_child(i, [&](Edge e) { EXPECT_LT(e.child, store.size()); });
    }
}

TEST(NodeStore, GrowingPastTheLimitFailsInsteadOfWrapping) {
    NodeStore store(3);
    store.append_child(0, U'a');
    store.append_child(0, U'b');
    EXPECT_THROW(store.append_child(0, U'c'), std::bad_alloc);
    EXPECT_EQ(store.size(), 3u);
    EXPECT_EQ(store.child(0, U'c'), NodeStore::no_child);
}

}  // namespace
}  // namespace sorvan
