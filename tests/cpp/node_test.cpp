#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "error/error.hpp"
#include "node/node.hpp"
#include "signature_text.hpp"
#include "utils/utf8.hpp"

// Every allocation of this program goes through here, so that a test can make
// the n-th one from now fail. Every form without alignment is replaced, so
// that ASan's own operators never free a block from these or the reverse;
// blocks come from malloc (GCC takes that pairing for a mismatch). TSan links
// its operators in whatever the program defines: there, nothing is replaced
// and the tests that count allocations are skipped.
#if defined(__SANITIZE_THREAD__)
#define REPLACE_ALLOCATION 0
#elif defined(__has_feature)
#define REPLACE_ALLOCATION !__has_feature(thread_sanitizer)
#else
#define REPLACE_ALLOCATION 1
#endif

namespace {
long allocations_until_failure = -1;  // negative: never fail
long allocations = 0;
}  // namespace

#if REPLACE_ALLOCATION
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {
void* allocate(std::size_t size) {
    ++allocations;
    if (allocations_until_failure >= 0 && allocations_until_failure-- == 0) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

void* allocate_or_null(std::size_t size) noexcept {
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate_or_null(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate_or_null(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
#endif

namespace sorvan {
namespace {

std::vector<Edge> edges_of(const NodeStore& store, NodeIndex parent) {
    std::vector<Edge> edges;
    store.for_each_child(parent, [&](Edge e) { edges.push_back(e); });
    return edges;
}

// A count's bound: never below it, at most a sixteenth above it, in order,
// and each step's highest count its own bound; at the edges of the exact
// range, of each power of two, and of 2^64, and at random.
TEST(CountBound, RoundsUpWithinASixteenthAndKeepsOrder) {
    constexpr std::uint64_t top = ~std::uint64_t{0};
    std::vector<std::uint64_t> counts{0, 1, 15, 16, 17, 31, 32, 33, 47, 48, 49, top - 1, top};
    for (unsigned k = 5; k < 64; ++k) {
        const std::uint64_t power = std::uint64_t{1} << k;
        counts.insert(counts.end(), {power - 1, power, power + 1});
    }
    std::mt19937_64 rng(7);
    for (int i = 0; i < 20000; ++i) counts.push_back(rng() >> (rng() % 64));
    std::sort(counts.begin(), counts.end());
    std::uint32_t before = 0;
    for (const std::uint64_t c : counts) {
        const std::uint32_t code = CountBound::code(c);
        ASSERT_LT(code, 1u << CountBound::bits) << c;
        ASSERT_GE(code, before) << c;
        before = code;
        const std::uint64_t bound = CountBound::value(code);
        ASSERT_GE(bound, c);
        ASSERT_LE(bound - c, c / 16) << c;
        ASSERT_EQ(CountBound::code(bound), code) << c;
        if (c < 16) {
            ASSERT_EQ(bound, c);
        }
    }
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


// ------------------------------------------------------------ wide nodes --

constexpr std::uint32_t wide = NodeStore::wide_threshold;

using Model = std::map<Letter, NodeIndex>;

// Everything the store says about `parent`'s edges, against the model:
// order, count, lookup of each letter and of letters next to them.
void expect_edges(const NodeStore& store, NodeIndex parent, const Model& model) {
    ASSERT_EQ(store[parent].child_count, model.size());
    std::vector<Edge> expected;
    for (auto [letter, child] : model) expected.push_back({letter, child});
    const std::vector<Edge> visited = edges_of(store, parent);
    ASSERT_EQ(visited.size(), expected.size());
    for (std::uint32_t i = 0; i < expected.size(); ++i) {
        const Edge at = store.child_at(parent, i);
        ASSERT_EQ(at.letter, expected[i].letter) << "child_at " << i;
        ASSERT_EQ(at.child, expected[i].child) << "child_at " << i;
        ASSERT_EQ(visited[i].letter, expected[i].letter) << "for_each_child " << i;
        ASSERT_EQ(store.child(parent, at.letter), at.child);
        for (Letter near : {at.letter - 1, at.letter + 1}) {
            if (!model.contains(near)) {
                ASSERT_EQ(store.child(parent, near), NodeStore::no_child);
            }
        }
    }
    for (Letter outside : {Letter{0}, Letter{0x10FFFF}, Letter{0x110000}}) {
        const auto it = model.find(outside);
        EXPECT_EQ(store.child(parent, outside), it == model.end() ? NodeStore::no_child : it->second);
    }
}

enum class Order { ascending, descending, shuffled, zigzag };

// `n` distinct letters spread over the code space, in the given order.
std::vector<Letter> letters_in(Order order, std::uint32_t n, std::uint32_t seed) {
    std::vector<Letter> letters;
    std::mt19937 rng(seed);
    for (Letter c = 0; letters.size() < n; c += 1 + rng() % (0x10FFFF / n)) letters.push_back(c);
    switch (order) {
        case Order::ascending: break;
        case Order::descending: std::ranges::reverse(letters); break;
        case Order::shuffled: std::ranges::shuffle(letters, rng); break;
        case Order::zigzag: {  // both ends towards the middle
            std::vector<Letter> z;
            for (std::size_t i = 0, j = n; i < j;) {
                z.push_back(letters[i++]);
                if (i < j) z.push_back(letters[--j]);
            }
            letters = z;
        }
    }
    return letters;
}

struct WideCase {
    Order order;
    std::uint32_t n;
};

std::string case_name(const WideCase& c) {
    static const char* const names[] = {"ascending", "descending", "shuffled", "zigzag"};
    return names[static_cast<int>(c.order)] + std::to_string(c.n);
}

class WideModel : public ::testing::TestWithParam<WideCase> {};

// Two parents grow side by side (one with the letters in reverse), so their
// trees interleave in the store's tables; each is checked against a map
// whenever its size crosses the threshold or a power of two.
TEST_P(WideModel, MatchesAMapThroughEveryGrowth) {
    const auto [order, n] = GetParam();
    const std::vector<Letter> letters = letters_in(order, n, n);
    NodeStore store;
    const NodeIndex parents[2] = {store.append_child(0, U'a'), store.append_child(0, U'b')};
    Model models[2];
    for (std::uint32_t k = 0; k < n; ++k) {
        for (int p = 0; p < 2; ++p) {
            const Letter letter = letters[p == 0 ? k : n - 1 - k];
            ASSERT_EQ(store.child(parents[p], letter), NodeStore::no_child);
            models[p][letter] = store.append_child(parents[p], letter);
            const std::size_t size = models[p].size();
            if ((size + 1 >= wide && size <= wide + 1) || std::has_single_bit(size)) {
                ASSERT_NO_FATAL_FAILURE(expect_edges(store, parents[p], models[p]));
            }
        }
    }
    for (int p = 0; p < 2; ++p) ASSERT_NO_FATAL_FAILURE(expect_edges(store, parents[p], models[p]));

    // The signature lists the edges in the same order.
    const std::string signature = signature_text(store, parents[0]);
    std::string listed;
    for (auto [letter, child] : models[0]) {
        utf8::append(listed, letter);
        listed += std::to_string(child);
    }
    EXPECT_EQ(signature, "a00" + listed);

    // Cut in shuffled order down to none, through every shrink (a tree that
    // empties leaves, back to a block, halving blocks, back inline), then
    // grown again: the freed nodes come back, the store grows no further.
    std::vector<Letter> cuts = letters;
    std::ranges::shuffle(cuts, std::mt19937(n + 1));
    const std::size_t size = store.size();
    for (Letter letter : cuts) {
        store.cut_child(parents[0], letter);
        models[0].erase(letter);
        const std::size_t left = models[0].size();
        if ((left + 1 >= wide && left <= wide + 1) || std::has_single_bit(left) || left == 0) {
            ASSERT_NO_FATAL_FAILURE(expect_edges(store, parents[0], models[0]));
            ASSERT_NO_FATAL_FAILURE(expect_edges(store, parents[1], models[1]));
        }
    }
    EXPECT_EQ(store.live(), size - n);
    for (Letter letter : letters) models[0][letter] = store.append_child(parents[0], letter);
    ASSERT_NO_FATAL_FAILURE(expect_edges(store, parents[0], models[0]));
    ASSERT_NO_FATAL_FAILURE(expect_edges(store, parents[1], models[1]));
    EXPECT_EQ(store.size(), size);
    EXPECT_EQ(store.live(), size);
}

// A cut frees the whole chain below the edge, and later appends take the
// freed nodes (and only those) before growing the store.
TEST(NodeStore, CutChainsAreFreedAndReused) {
    NodeStore store;
    const NodeIndex fork = store.append_child(0, U'f');
    const NodeIndex kept = store.append_child(fork, U'k');
    NodeIndex at = fork;
    std::vector<NodeIndex> chain;
    for (Letter c : std::u32string_view(U"chain")) chain.push_back(at = store.append_child(at, c));
    ASSERT_EQ(store.live(), 8u);
    store.cut_child(fork, U'c');
    EXPECT_EQ(store.live(), 3u);
    EXPECT_EQ(store.size(), 8u);
    EXPECT_EQ(edges_of(store, fork).size(), 1u);
    EXPECT_EQ(store.child(fork, U'k'), kept);
    EXPECT_EQ(store.child(fork, U'c'), NodeStore::no_child);
    std::vector<NodeIndex> reused;
    at = kept;
    for (int i = 0; i < 6; ++i) reused.push_back(at = store.append_child(at, U'x'));
    EXPECT_EQ(store.size(), 9u);  // five reused, one new
    std::ranges::sort(chain);
    std::vector<NodeIndex> first(reused.begin(), reused.end() - 1);
    std::ranges::sort(first);
    EXPECT_EQ(first, chain);
    EXPECT_EQ(reused.back(), 8u);
    for (NodeIndex node : reused) EXPECT_EQ(store[node].letter, U'x');
}

INSTANTIATE_TEST_SUITE_P(
    OrdersAndSizes, WideModel,
    ::testing::Values(WideCase{Order::ascending, wide}, WideCase{Order::descending, wide + 1},
                      WideCase{Order::shuffled, wide + 1}, WideCase{Order::zigzag, wide + 2},
                      WideCase{Order::ascending, 9000}, WideCase{Order::descending, 9000},
                      WideCase{Order::shuffled, 9000}, WideCase{Order::zigzag, 9000},
                      // Deep enough for the root to split more than once.
                      WideCase{Order::descending, 120000}, WideCase{Order::shuffled, 120000}),
    [](const ::testing::TestParamInfo<WideCase>& info) { return case_name(info.param); });

// A failed allocation at any point of an insertion (block growth, the move
// to a tree, a leaf or branch split, a new root) leaves the store as it
// was, and the same insertion succeeds once memory is back.
TEST(NodeStore, FailedAllocationChangesNothing) {
    if (!REPLACE_ALLOCATION) GTEST_SKIP() << "allocations cannot be made to fail here";
    NodeStore store;
    const NodeIndex parent = store.append_child(0, U'p');
    Model model;
    std::size_t failures = 0;
    for (Letter letter : letters_in(Order::descending, 40000, 1)) {
        for (long fail_at = 0;; ++fail_at) {
            const std::size_t size = store.size();
            allocations_until_failure = fail_at;
            try {
                const NodeIndex child = store.append_child(parent, letter);
                allocations_until_failure = -1;
                model[letter] = child;
                break;
            } catch (const std::bad_alloc&) {
                allocations_until_failure = -1;
                ++failures;
                ASSERT_EQ(store.size(), size);
                ASSERT_EQ(store.child(parent, letter), NodeStore::no_child);
                if (model.size() % 997 == 0 || model.size() == wide) {
                    ASSERT_NO_FATAL_FAILURE(expect_edges(store, parent, model));
                }
            }
        }
    }
    ASSERT_NO_FATAL_FAILURE(expect_edges(store, parent, model));
    EXPECT_GT(failures, 20u);
}

// Once room is reserved, a path of new nodes below a wide node (the first
// link a leaf split, the others into new nodes) allocates nothing.
TEST(NodeStore, ReservedLinksDoNotAllocate) {
    if (!REPLACE_ALLOCATION) GTEST_SKIP() << "allocations are not counted here";
    NodeStore store;
    for (std::uint32_t c = 0; c <= wide + 64; ++c) {
        store.reserve_link(0, 3);
        const long before = allocations;
        NodeIndex at = store.append_child(0, 0x10FFFF - c);
        at = store.append_child(at, U'x');
        store.append_child(at, U'y');
        ASSERT_EQ(allocations, before) << "child " << c;
    }
    EXPECT_EQ(store[0].child_count, wide + 65);
    NodeStore limited(3);
    try {
        limited.reserve_link(0, 3);
        ADD_FAILURE() << "room past the node limit";
    } catch (const CapacityExceeded& full) {  // a bad_alloc that names the limit
        EXPECT_NE(std::string(full.what()).find("at most 4,294,967,296 nodes"), std::string::npos);
    }
    EXPECT_EQ(limited.size(), 1u);
    limited.append_child(0, U'a');
    limited.append_child(1, U'b');
    EXPECT_THROW(limited.append_child(2, U'c'), std::bad_alloc);
    EXPECT_EQ(limited.size(), 3u);
}

// A run of appends above every letter of the root, with new nodes growing
// blocks meanwhile, then undone or kept. Either way the store answers as the
// model does, and the free lists hand no block out twice: later nodes that
// grow side by side take blocks from them.
class MarkedRun : public testing::TestWithParam<std::tuple<std::uint32_t, bool>> {};

TEST_P(MarkedRun, RollsBackOrKeeps) {
    const auto [before, keep] = GetParam();
    NodeStore store;
    Model root;
    // Blocks freed before the mark lie on the free lists through the run.
    const NodeIndex side = root[1] = store.append_child(0, 1);
    Model side_model;
    for (Letter c = 'a'; c < 'a' + 5; ++c) side_model[c] = store.append_child(side, c);
    for (Letter c = 0x100; c < 0x100 + before; ++c) root[c] = store.append_child(0, c);
    const std::size_t size = store.size();

    store.mark();
    Model grown = root;
    for (Letter c = 0x100 + before; c < 0x100 + before + 300; ++c) {
        store.save(0);
        const NodeIndex child = grown[c] = store.append_child(0, c);
        if (c % 40 == 0) {
            for (Letter d = 'a'; d < 'a' + 9; ++d) store.append_child(child, d);
        }
    }
    if (keep) {
        store.keep();
        root = grown;
    } else {
        store.roll_back();
        ASSERT_EQ(store.size(), size);
    }
    ASSERT_NO_FATAL_FAILURE(expect_edges(store, 0, root));
    ASSERT_NO_FATAL_FAILURE(expect_edges(store, side, side_model));

    std::vector<std::pair<NodeIndex, Model>> later;
    for (Letter p = 0x20000; p < 0x20000 + 20; ++p) later.push_back({root[p] = store.append_child(0, p), {}});
    for (Letter d = 'a'; d < 'a' + 12; ++d) {
        for (auto& [parent, model] : later) model[d] = store.append_child(parent, d);
    }
    ASSERT_NO_FATAL_FAILURE(expect_edges(store, 0, root));
    ASSERT_NO_FATAL_FAILURE(expect_edges(store, side, side_model));
    for (const auto& [parent, model] : later) ASSERT_NO_FATAL_FAILURE(expect_edges(store, parent, model));
}

// Children of the root at the mark: inline, a full block of two, a block
// with room, a full block of sixteen, a full block that the run makes
// wide, and wide nodes of one and of many leaves.
INSTANTIATE_TEST_SUITE_P(NodeStore, MarkedRun,
                         testing::Combine(testing::Values(0u, 1u, 2u, 5u, 15u, wide - 1, wide, 2000u),
                                          testing::Bool()));

}  // namespace
}  // namespace sorvan
