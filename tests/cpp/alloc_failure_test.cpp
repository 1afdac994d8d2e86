// Insertion under allocation failure: this program replaces the global
// operator new with one that can be told to fail from the k-th allocation
// on, and every k up to a successful run must leave the lexicon exactly as
// it was, and still usable.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "compact/membership.hpp"
#include "count_bounds.hpp"
#include "dawg/dawg.hpp"
#include "temp_file.hpp"
#include "query/complete.hpp"
#include "query/reversed_words.hpp"
#include "graph/store_graph.hpp"
#include "trie/trie.hpp"
#include "utils/utf8.hpp"

namespace {

// Allocations left before they start failing; negative: never fail.
long allocations_left = -1;

}  // namespace

// Every form of the global operator new and delete is replaced, so that
// they all agree on malloc and free (the sanitizers check that they match).
namespace {

void* allocate(std::size_t size, std::size_t alignment) {
    if (allocations_left == 0) throw std::bad_alloc();
    if (allocations_left > 0) --allocations_left;
    size = std::max<std::size_t>(size, 1);
    void* p = alignment <= alignof(std::max_align_t)
                  ? std::malloc(size)
                  : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void* allocate_or_null(std::size_t size, std::size_t alignment) noexcept {
    try {
        return allocate(size, alignment);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

constexpr std::size_t plain = alignof(std::max_align_t);

}  // namespace

void* operator new(std::size_t n) { return allocate(n, plain); }
void* operator new[](std::size_t n) { return allocate(n, plain); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate_or_null(n, plain); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate_or_null(n, plain); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate_or_null(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate_or_null(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace sorvan {
namespace {

// Arms the failure for its lifetime.
class FailFrom {
public:
    explicit FailFrom(long k) { allocations_left = k; }
    ~FailFrom() { allocations_left = -1; }
    FailFrom(const FailFrom&) = delete;
    FailFrom& operator=(const FailFrom&) = delete;
};

// Everything the lexicon shows: its words with counts, and its sizes, and
// the nodes whose bound of counts is wrong.
std::string describe(const Trie& trie) {
    std::string out = std::to_string(trie.node_count()) + " " + std::to_string(trie.word_count()) + " stale" +
                      testing::stale_bounds(trie.nodes());
    for (const auto& [word, count] : trie.search("*", true).pairs()) out += " " + word + ":" + std::to_string(count);
    return out;
}
std::string describe(const Dawg& dawg) {
    std::string out = std::to_string(dawg.node_count()) + " " + std::to_string(dawg.word_count()) + " " +
                      std::to_string(dawg.registry_size()) + " " + std::to_string(dawg.unchecked_size()) +
                      " [" + dawg.previous_word() + "] stale" + testing::stale_bounds(dawg.nodes());
    for (const auto& [word, count] : dawg.search("*", true).pairs()) out += " " + word + ":" + std::to_string(count);
    // The image holds what only later calls would show: the registered
    // depth and the keys of nodes changed after their registration.
    const auto image = *dawg.build_image();
    const std::string_view bytes(reinterpret_cast<const char*>(image->data()), image->size());
    return out + " image " + std::to_string(std::hash<std::string_view>{}(bytes));
}

template <class Lexicon>
struct FailureCase {
    const char* name;
    std::function<void(Lexicon&)> setup;
    std::function<void(Lexicon&)> operation;
    // Run after the operation on the lexicon and on the reference alike:
    // later calls must not tell a rolled-back lexicon from a fresh one.
    std::function<void(Lexicon&)> then = [](Lexicon&) {};
};

template <class Lexicon>
void expect_all_or_nothing(const FailureCase<Lexicon>& c) {
    Lexicon reference;
    c.setup(reference);
    c.operation(reference);
    const std::string after = describe(reference);
    EXPECT_EQ(testing::stale_bounds(reference.nodes()), "") << c.name;
    c.then(reference);
    const std::string later = describe(reference);
    for (long k = 0;; ++k) {
        ASSERT_LT(k, 100000) << c.name << ": never succeeds";
        Lexicon lexicon;
        c.setup(lexicon);
        const std::string before = describe(lexicon);
        bool failed = false;
        try {
            FailFrom fail(k);
            c.operation(lexicon);
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        if (!failed) {
            EXPECT_EQ(describe(lexicon), after) << c.name;
            EXPECT_GT(k, 0) << c.name << ": allocated nothing, so tested nothing";
            return;
        }
        ASSERT_EQ(describe(lexicon), before) << c.name << ", allocation " << k << " failing";
        c.operation(lexicon);  // memory is back: the same call now works
        ASSERT_EQ(describe(lexicon), after) << c.name << ", allocation " << k << " failing";
        c.then(lexicon);
        ASSERT_EQ(describe(lexicon), later) << c.name << ", allocation " << k << " failing";
    }
}

void add_words(Trie& trie, std::initializer_list<std::string> words) {
    for (const std::string& w : words) ASSERT_TRUE(trie.add(w, 1));
}
void add_words(Dawg& dawg, std::initializer_list<std::string> words) {
    for (const std::string& w : words) ASSERT_TRUE(dawg.add(w, 1));
}

// Memory running out anywhere in building the reversed words for suggestions
// leaves none built and gives up until the next change; the suggestions
// answer as before all along.
TEST(AllocationFailure, ReversedWordsGiveUpUntilTheNextChange) {
    Trie trie;
    for (const char* w : {"abc", "abd", "bcd", "abcd", "\xc3\xa9t\xc3\xa9", "dcba", "cab"}) {
        ASSERT_TRUE(trie.add(w, 2));
    }
    const StoreGraph graph(trie.nodes());
    const auto expected = trie.suggest("bacd", 2, 10, true, false).items;
    ASSERT_EQ(expected.size(), 4u);
    // The highest count as the lexicon knows it (2), and a hint of 1 that
    // the listing finds wrong at the first word and starts again.
    for (const std::uint64_t max_count : {trie.max_count(), std::uint64_t{1}}) {
        for (long k = 0;; ++k) {
            ReversedWords reversed;
            allocations_left = k;
            reversed.build(graph, max_count, nullptr);
            allocations_left = -1;
            const bool failed = reversed.image() == nullptr;
            if (failed) {
                reversed.build(graph, max_count, nullptr);
                EXPECT_EQ(reversed.image(), nullptr) << k;
                reversed.clear();
                reversed.build(graph, max_count, nullptr);
            }
            ASSERT_NE(reversed.image(), nullptr) << k;
            EXPECT_EQ(suggest_words(graph, "bacd", 2, 10, true, trie.max_count(), nullptr,
                                    &reversed.image()->graph()),
                      expected)
                << k;
            if (!failed) break;
        }
    }
}

// The same for the maxima of counts that rank completions: none built, none
// tried again until the next change, and the completions the same with them
// as without (the walk).
TEST(AllocationFailure, CompletionIndexGivesUpUntilTheNextChange) {
    Trie trie;
    std::uint64_t count = 1;
    for (const char* w : {"abc", "abd", "bcd", "abcd", "\xc3\xa9t\xc3\xa9", "dcba", "cab", "ab"}) {
        ASSERT_TRUE(trie.add(w, count *= 3));
    }
    ASSERT_TRUE(trie.compact());
    const CompactImage& image = *trie.image();
    const auto expected = complete_words(image.graph(), "ab", 1, 4, false, image.max_count());
    ASSERT_EQ(expected.size(), 4u);
    for (long k = 0;; ++k) {
        CompletionIndex index;
        allocations_left = k;
        index.build(image, nullptr);
        allocations_left = -1;
        const bool failed = index.maxima() == nullptr;
        if (failed) {
            index.build(image, nullptr);
            EXPECT_EQ(index.maxima(), nullptr) << k;
            index.clear();
            index.build(image, nullptr);
        }
        ASSERT_NE(index.maxima(), nullptr) << k;
        EXPECT_EQ(complete_words(image.graph(), "ab", 1, 4, false, image.max_count(), index.maxima()), expected)
            << k;
        if (!failed) break;
    }
}

// Memory running out anywhere in building the membership index leaves none
// built and gives up until the next change.
TEST(AllocationFailure, MembershipIndexGivesUpUntilTheNextChange) {
    const char* const words[] = {"abc", "abd", "bcd", "\xc3\xa9t\xc3\xa9", "\xe6\x97\xa5"};
    Trie trie;
    for (const char* w : words) ASSERT_TRUE(trie.add(w, 1));
    ASSERT_TRUE(trie.compact());
    const CompactGraph& graph = trie.image()->graph();
    for (long k = 0;; ++k) {
        MembershipCache cache;
        allocations_left = k;
        cache.count_walk(graph.size(), graph);
        allocations_left = -1;
        const bool failed = cache.index() == nullptr;
        if (failed) {
            cache.count_walk(graph.size(), graph);
            EXPECT_EQ(cache.index(), nullptr) << k;
            cache.clear();
            cache.count_walk(graph.size(), graph);
        }
        ASSERT_NE(cache.index(), nullptr) << k;
        for (const char* w : words) EXPECT_TRUE(cache.index()->contains(w)) << k;
        EXPECT_FALSE(cache.index()->contains("ab")) << k;
        if (!failed) break;
    }
}

TEST(AllocationFailure, TrieAddIsAllOrNothing) {
    const FailureCase<Trie> cases[] = {
        // A full block of 16 edges at the root moves to a bigger one.
        {"wide root", [](Trie& t) { add_words(t, {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l",
                                                 "m", "n", "o", "p"}); },
         [](Trie& t) { ASSERT_TRUE(t.add("q" + std::string(300, 'x'), 2)); }},
        // An inline child becomes a block of two, far down a path.
        {"second child", [](Trie& t) { add_words(t, {std::string(200, 'a')}); },
         [](Trie& t) { ASSERT_TRUE(t.add(std::string(100, 'a') + "\xc3\xa9" + std::string(500, 'b'), 1)); }},
        {"new trie", [](Trie&) {}, [](Trie& t) { ASSERT_TRUE(t.add(std::string(5000, 'z'), 1)); }},
    };
    for (const auto& c : cases) expect_all_or_nothing(c);
}

// Removal allocates only when a wide node turns back into a block and no
// free block fits, and when a compact trie turns mutable first; a word put
// back afterwards gets its count exactly.
TEST(AllocationFailure, TrieRemoveIsAllOrNothing) {
    auto letter = [](std::string word, char32_t c, const char* tail) {
        utf8::append(word, c);
        return word + tail;
    };
    auto wide_root = [=](Trie& t) {
        for (char32_t c = 0x100; c < 0x200; ++c) ASSERT_TRUE(t.add(letter("", c, "tail"), 3));
        // The block the root left when it grew wide goes to another node.
        for (char32_t c = 0x100; c <= 0x180; ++c) ASSERT_TRUE(t.add(letter("a", c, ""), 1));
    };
    auto remove = [](const char* word, std::uint64_t count) {
        return [=](Trie& t) { ASSERT_EQ(t.remove(word).value_or(~0ull), count); };
    };
    auto put_back = [](const char* word) { return [=](Trie& t) { ASSERT_TRUE(t.add(word, 5)); }; };
    const FailureCase<Trie> cases[] = {
        {"wide root back to a block", wide_root, remove("\u0150tail", 3), put_back("\u0150tail")},
        {"compact", [](Trie& t) { add_words(t, {"ab", "abc", "b"}); ASSERT_TRUE(t.compact()); },
         [](Trie& t) {
             ASSERT_FALSE(t.remove("a"));  // not a word: the trie stays compact
             ASSERT_NE(t.image(), nullptr);
             ASSERT_EQ(t.remove("ab").value_or(~0ull), 1u);
         },
         put_back("ab")},
    };
    for (const auto& c : cases) expect_all_or_nothing(c);
}

TEST(AllocationFailure, DawgAddAndReduceAreAllOrNothing) {
    auto long_path = [](Dawg& d) { add_words(d, {"ab", "abc" + std::string(400, 'x'), "abd" + std::string(40, 'y')}); };
    const FailureCase<Dawg> cases[] = {
        // Reduces the whole old path into a growing registry, then attaches
        // at the root.
        {"diverge at the root", long_path, [](Dawg& d) { ASSERT_TRUE(d.add("b" + std::string(700, 'z'), 1)); }},
        {"diverge deep", long_path, [](Dawg& d) { ASSERT_TRUE(d.add("abd" + std::string(20, 'y') + "z", 1)); }},
        // After a full reduction the attachment node is found by a walk.
        {"after reduce", [&](Dawg& d) { long_path(d); d._reduce(0); },
         [](Dawg& d) { ASSERT_TRUE(d.add("abe", 1)); }},
        {"reduce", [&](Dawg& d) { long_path(d); add_words(d, {"b" + std::string(2000, 'z')}); },
         [](Dawg& d) { d._reduce(0); }},
    };
    for (const auto& c : cases) expect_all_or_nothing(c);
}

SortableWords words_of(std::initializer_list<std::string> words) {
    SortableWords list;
    for (const std::string& w : words) list.push_back(w);
    return list;
}

// `prefix` and one letter, for `n` letters from `first` up, given in
// descending order (the bulk insertion sorts them).
SortableWords letters(char32_t first, std::size_t n, std::string prefix = "") {
    SortableWords list;
    for (std::size_t i = n; i-- > 0;) {
        std::string word = prefix;
        utf8::append(word, static_cast<char32_t>(first + i));
        list.push_back(word);
    }
    return list;
}

TEST(AllocationFailure, DawgBulkInsertionIsAllOrNothing) {
    // Fifteen edges at the root, then a long path: a bulk insertion counts
    // its last word again, branches off the path deep down (an inline child
    // becomes a block), and fills the root's block so that it moves.
    auto path = [](Dawg& d) {
        for (char c = 'a'; c <= 'o'; ++c) ASSERT_TRUE(d.add(std::string(1, c) + "xyz", 1));
        ASSERT_TRUE(d.add("p" + std::string(60, 'q'), 1));
    };
    auto bulk = [](Dawg& d) {
        ASSERT_TRUE(d.sort_and_add(words_of({"s", "p" + std::string(30, 'q') + "r", "r" + std::string(90, 'q'),
                                             "p" + std::string(60, 'q'), "pz", "q", "t", "pqz", "u", "v"})));
    };
    // Above all the others, a node of twenty children, whose blocks come
    // from the free lists that a rollback must leave sound.
    auto more = [](Dawg& d) { ASSERT_TRUE(d.sort_and_add(letters('a', 20, "\U0001F600"))); };
    // A wide root (past 256 edges): its tree takes new leaves and, past 64
    // of them, a new root.
    auto wide = [](Dawg& d) { ASSERT_TRUE(d.sort_and_add(letters(0x100, 300))); };
    auto add_letters = [](char32_t first, std::size_t n) {
        return [=](Dawg& d) { ASSERT_TRUE(d.sort_and_add(letters(first, n))); };
    };
    const FailureCase<Dawg> cases[] = {
        {"empty", [](Dawg&) {}, bulk, more},
        {"unreduced", path, bulk, more},
        {"reduced", [&](Dawg& d) { path(d); d._reduce(0); }, bulk, more},
        {"registry grows", path, add_letters(0x3000, 2000), more},
        {"wide root", wide, add_letters(0x400, 4000), more},
        {"wide root, unreduced", [&](Dawg& d) { wide(d); ASSERT_TRUE(d.add("\u0800" "abc", 2)); },
         add_letters(0x801, 200), more},
    };
    for (const auto& c : cases) expect_all_or_nothing(c);
}

// A build from sorted words that runs out of memory anywhere throws
// std::bad_alloc and keeps nothing (the sanitizers' leak check sees to
// that); from some allocation on, it makes the whole lexicon.
TEST(AllocationFailure, SortedBuildsKeepNothing) {
    const std::string long_word = "abc" + std::string(300, 'x');
    const std::vector<std::pair<std::string, std::uint64_t>> words = {
        {"", 3}, {"ab", 1}, {long_word, 2}, {"abd", 7}, {"b\xc3\xa9", 1}, {"b\xc3\xa9", 4}, {"c5", 1}};
    const std::vector<WordCount> expected = {{"ab", 1}, {long_word, 2}, {"abd", 7}, {"b\xc3\xa9", 5}, {"c5", 1}};
    auto build = [&](auto& builder) {
        for (const auto& [word, count] : words) {
            if (!builder.add(word, count)) return false;
        }
        auto made = builder.finish();
        return made && made->search("*", true).pairs() == expected;
    };
    for (long k = 0;; ++k) {
        bool built = false;
        try {
            FailFrom fail(k);
            Trie::Builder trie;
            Dawg::Builder dawg;
            built = build(trie) && build(dawg);
        } catch (const std::bad_alloc&) {
        }
        if (built) break;
        ASSERT_LT(k, 100000);
    }
}

}  // namespace
}  // namespace sorvan
