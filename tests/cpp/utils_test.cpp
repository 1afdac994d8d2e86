#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>
#include <memory>
#include <new>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "temp_file.hpp"
#include "utils/built_on_demand.hpp"
#include "utils/utf8.hpp"
#include "query/key_set.hpp"
#include "utils/sortable_words.hpp"
#include "utils/word_file.hpp"

namespace sorvan {
namespace {

using testing_support::TempFile;
using Words = std::vector<std::string>;

Result<Words> read_words(const std::string& path) {
    Words words;
    Status read = for_each_word(path, [&words](std::string_view word) {
        words.emplace_back(word);
        return Status{};
    });
    if (!read) return std::unexpected(read.error());
    return words;
}

Words words_of(std::string_view contents) {
    TempFile file(contents);
    return read_words(file.path()).value_or(Words{"<error>"});
}

TEST(Utf8, IsValidFollowsTheWellFormedByteRanges) {
    for (const char* ok : {"", "ascii", "\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf",
                           "\xee\x80\x80", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"}) {
        EXPECT_TRUE(utf8::is_valid(ok)) << ok;
        EXPECT_TRUE(utf8::is_valid(std::string(13, 'a') + ok + "z")) << ok;
    }
    // Lone continuation, overlong forms, surrogates, above U+10FFFF, bytes
    // that start nothing, truncated and broken sequences.
    for (const char* bad : {"\x80", "\xc0\xaf", "\xc1\xbf", "\xe0\x9f\xbf", "\xf0\x8f\xbf\xbf",
                            "\xed\xa0\x80", "\xed\xbf\xbf", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80",
                            "\xff", "\xe2\x82", "\xf0\x9f\x98", "\xe2\x28\xa1"}) {
        EXPECT_FALSE(utf8::is_valid(bad)) << bad;
        EXPECT_FALSE(utf8::is_valid(std::string(13, 'a') + bad + "z")) << bad;
    }
    // A sequence cut by the end of the view, whatever bytes follow it.
    EXPECT_FALSE(utf8::is_valid(std::string_view("\xe2\x82\xac", 2)));
}

// Each White_Space code point is trimmed at either end of a line, and
// others (U+001C, U+180E, U+200B, U+FEFF) are not.
TEST(WordFile, TrimsExactlyTheWhiteSpaceProperty) {
    std::vector<char32_t> white = {0x09, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680,
                                   0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
    for (char32_t c = 0x2000; c <= 0x200A; ++c) white.push_back(c);
    std::string contents;
    Words expected;
    for (char32_t c : white) {
        std::string space;
        utf8::append(space, c);
        contents += space + "w" + space + "\n";
        expected.push_back("w");
    }
    for (char32_t c : {U'\x1c', U'\u180e', U'\u200b', U'\ufeff'}) {
        std::string other;
        utf8::append(other, c);
        contents += other + "w" + other + "\n";
        expected.push_back(other + "w" + other);
    }
    EXPECT_EQ(words_of(contents), expected);
}

// Lines of many lengths, so that line ends, "\r\n" pairs and multi-byte
// characters fall on and across buffer refills; lines longer than the
// buffer; invalid lines among them; no "\n" at the end.
TEST(WordFile, LinesCrossingBufferRefills) {
    std::string contents;
    Words expected;
    std::mt19937 rng(99);
    while (contents.size() < 5 * LineReader::buffer_size) {
        std::string word(1 + rng() % 50, static_cast<char>('a' + rng() % 26));
        if (rng() % 3 == 0) word += "\xc3\xa9\xe2\x82\xac";
        contents += word + (rng() % 2 ? "\r\n" : "\n");
        expected.push_back(word);
        if (rng() % 7 == 0) contents += "\xed\xa0\x80\n";
    }
    const std::string long_word(3 * LineReader::buffer_size + 7, 'L');
    contents += long_word + "\n\n" + long_word;
    expected.insert(expected.end(), {long_word, long_word});
    EXPECT_EQ(words_of(contents), expected);
}

TEST(WordFile, ErrorsAreIoErrors) {
    const std::string missing = "IO error: No such file or directory (os error 2)";
    const std::pair<std::string, std::string> cases[] = {
        {::testing::TempDir() + "sorvan_no_such_file", missing},
        {"", missing},
        // Refused before the system could cut the path at the NUL.
        {::testing::TempDir() + std::string("\0x", 2),
         "IO error: file name contained an unexpected NUL byte"},
        // Opening a directory works; every read fails.
        {::testing::TempDir(), "IO error: Is a directory (os error 21)"},
    };
    for (const auto& [path, display] : cases) {
        auto words = read_words(path);
        ASSERT_FALSE(words) << path;
        EXPECT_EQ(words.error().kind(), SorvanError::Kind::Io);
        EXPECT_EQ(words.error().display(), display);
    }
    // After a read error the reader is at its end instead of failing again.
    auto reader = read_lines_from_file(::testing::TempDir());
    ASSERT_TRUE(reader);
    EXPECT_FALSE(reader->next());
    EXPECT_EQ(reader->next(), std::nullopt);
}

// The words gathered for sorting are those for_each_word reads, whatever
// room the file's size suggested; a size is only taken from a regular file.
TEST(WordFile, SortableWordsAreTheWordsRead) {
    std::string many;
    for (int i = 0; i < 3000; ++i) many += std::string(i % 13, 'x') + std::to_string(i) + (i % 5 ? "\n" : " \r\n");
    for (const std::string& contents : {std::string("\xEF\xBB\xBF b\na\n\n  c \r\nc"), many, std::string()}) {
        TempFile file(contents);
        EXPECT_EQ(read_lines_from_file(file.path())->size_hint(), contents.size());
        SortableWords words;
        ASSERT_TRUE(read_sortable_words(file.path(), words));
        const Words expected = words_of(contents);
        ASSERT_EQ(words.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(words[i], expected[i]);
    }
    for (const std::string& path : {::testing::TempDir(), std::string("/dev/null")}) {
        EXPECT_EQ(read_lines_from_file(path)->size_hint(), 0u) << path;
    }
    // A path that cannot be opened fails as for_each_word does, gathering nothing.
    for (const std::string& path : {::testing::TempDir() + "sorvan_no_such_file", std::string("a\0b", 3)}) {
        SortableWords words;
        const Status read = read_sortable_words(path, words);
        ASSERT_FALSE(read) << path;
        EXPECT_EQ(read.error().display(), read_words(path).error().display());
        EXPECT_TRUE(words.empty());
    }
    // Room beyond what can be had is no error: the words still go in.
    SortableWords words;
    words.expect_text(~std::size_t{0} / 2);
    words.push_back("b");
    words.push_back("a");
    words.sort();
    ASSERT_EQ(words.size(), 2u);
    EXPECT_EQ(words[0], "a");
    EXPECT_EQ(words[1], "b");
}

TEST(WordFile, ClosesTheFileOnEveryWayOut) {
    auto open_files = [] {
        using std::filesystem::directory_iterator;
        return std::distance(directory_iterator("/proc/self/fd"), directory_iterator());
    };
    TempFile file("a\nb\n");
    const auto before = open_files();
    ASSERT_TRUE(read_words(file.path()));
    ASSERT_FALSE(read_words(::testing::TempDir()));
    Status stopped = for_each_word(file.path(), [](std::string_view) -> Status {
        return std::unexpected(SorvanError::io("stop"));
    });
    ASSERT_FALSE(stopped);
    {
        auto moved = read_lines_from_file(file.path());
        LineReader taken(std::move(*moved));
    }
    EXPECT_EQ(open_files(), before);
}

// A line longer than the reader's longest is out of memory, whether it
// lies in one buffer or crosses refills; one of exactly that length is read.
TEST(WordFile, LongestLine) {
    struct Case {
        std::size_t longest, line;
    };
    for (const auto [longest, line] : {Case{100, 100}, Case{100, 101}, Case{20000, 20000}, Case{20000, 20001},
                                       Case{20000, 3 * LineReader::buffer_size}}) {
        TempFile file("a\n" + std::string(line, 'x') + "\nb");
        auto reader = read_lines_from_file(file.path(), nullptr, longest);
        ASSERT_TRUE(reader);
        EXPECT_EQ(reader->next().value(), "a");
        if (line <= longest) {
            EXPECT_EQ(reader->next().value()->size(), line);
            EXPECT_EQ(reader->next().value(), "b");
        } else {
            EXPECT_THROW((void)reader->next(), std::bad_alloc) << line;
        }
    }
    EXPECT_GE(LineReader::default_longest_line(), std::size_t{1} << 20);
}

// A poll that says stop at its n-th call.
struct StopAt {
    int n;
    int calls = 0;
    static bool poll(void* self) noexcept {
        auto& stop = *static_cast<StopAt*>(self);
        return ++stop.calls >= stop.n;
    }
};

// The reader asks its Cancel before opening and before each block: stopped
// at the n-th question it has handed out the lines that the first n - 2
// blocks completed.
TEST(WordFile, CancelStopsBeforeTheNextBlock) {
    std::string contents;
    for (int i = 0; contents.size() < 4 * LineReader::buffer_size; ++i) contents += "w" + std::to_string(i) + "\n";
    TempFile file(contents);
    for (int n = 1; n <= 4; ++n) {
        const std::size_t blocks_read = n > 2 ? n - 2 : 0;
        const auto complete = std::count(contents.begin(),
                                         contents.begin() + static_cast<std::ptrdiff_t>(blocks_read * LineReader::buffer_size), '\n');
        StopAt stop{n};
        Cancel cancel(&StopAt::poll, &stop);
        std::ptrdiff_t words = 0;
        Status read = for_each_word(file.path(), [&words](std::string_view) { ++words; return Status{}; }, &cancel);
        ASSERT_FALSE(read);
        EXPECT_EQ(read.error().kind(), SorvanError::Kind::Cancelled);
        EXPECT_EQ(words, complete) << n;
        EXPECT_TRUE(cancel.cancelled());
    }
}

// Dense keys turn the set into a bitmap, which must still answer for keys
// past its end, take keys that make it grow and turn back into a table for
// a key too far for it; far-apart keys keep the hash table.
TEST(KeySet, AnswersLikeASetWhetherDenseOrSparse) {
    std::mt19937_64 rng(7);
    for (const std::uint64_t spread : {std::uint64_t{4000}, std::uint64_t{1} << 40, ~std::uint64_t{0} - 1}) {
        KeySet keys;
        std::set<std::uint64_t> expected;
        std::vector<std::uint64_t> asked;
        for (int i = 0; i < 5000; ++i) {
            const std::uint64_t key = rng() % spread;
            keys.insert(key);
            expected.insert(key);
            asked.push_back(key);
            asked.push_back(key + 1);
            if (i % 997 == 0) {  // a far key after the set went dense
                keys.insert(spread / 2 + 70000);
                expected.insert(spread / 2 + 70000);
            }
            if (i == 3000) {  // one too far for a bitmap: back to a table
                keys.insert(spread / 2 + (std::uint64_t{1} << 40));
                expected.insert(spread / 2 + (std::uint64_t{1} << 40));
            }
        }
        asked.push_back(spread / 2 + 70000);
        asked.push_back(spread / 2 + (std::uint64_t{1} << 40));
        asked.push_back(0);
        for (const std::uint64_t key : asked) ASSERT_EQ(keys.contains(key), expected.count(key) == 1) << key;
    }
}

// Random lists with shared prefixes, repeats, high bytes, NULs and empty
// words, and a chain of prefixes as deep as the words are long, against
// std::sort of std::string (which compares bytes as unsigned).
TEST(SortableWords, SortsLikeStdSortOfStrings) {
    std::mt19937 rng(5);
    const std::string alphabet("aAb\xc3\xa9\xff\0", 7);
    std::vector<Words> lists;
    for (int round = 0; round < 10; ++round) {
        Words& words = lists.emplace_back();
        for (std::size_t n = 1 + rng() % 3000; n > 0; --n) {
            std::string w = round % 2 ? "shared-prefix/" : "";
            for (auto len = rng() % 12; len > 0; --len) w += alphabet[rng() % alphabet.size()];
            words.push_back(w);
        }
    }
    // Large enough that groups several bytes deep are laid out anew, with
    // duplicates and words that end inside such a group.
    for (const std::string prefix : {"", "p/"}) {
        Words& words = lists.emplace_back();
        for (std::size_t n = 0; n < 200000; ++n) {
            std::string w = prefix;
            for (auto len = rng() % 24; len > 0; --len) w += "ab\xc3"[rng() % 3];
            words.push_back(w);
        }
    }
    Words& chain = lists.emplace_back();
    for (std::size_t i = 0; i < 3000; ++i) chain.push_back(std::string(i, 'x') + "y");
    std::shuffle(chain.begin(), chain.end(), rng);

    for (const Words& words : lists) {
        SortableWords list;
        // Each word tagged with its place in `words`: the tag goes with it.
        SortableWords tagged{SortableWords::WithTags{}};
        for (std::size_t i = 0; i < words.size(); ++i) {
            list.push_back(words[i]);
            tagged.push_back(words[i], i);
        }
        // A sort stopped at its first poll says so; the words are all still
        // there, and a sort to the end orders them.
        StopAt stop{1};
        Cancel cancel(&StopAt::poll, &stop);
        SortableWords stopped = list;
        const bool finished = stopped.sort(&cancel);
        EXPECT_EQ(finished, stop.calls == 0);
        if (words.size() > Cancel::interval) {
            EXPECT_FALSE(finished);  // it polls as it goes
        }
        Words kept;
        for (std::size_t i = 0; i < stopped.size(); ++i) kept.emplace_back(stopped[i]);
        EXPECT_TRUE(std::is_permutation(kept.begin(), kept.end(), words.begin(), words.end()));
        ASSERT_TRUE(stopped.sort(nullptr));
        EXPECT_TRUE(list.sort());
        tagged.sort();
        for (std::size_t i = 0; i < list.size(); ++i) ASSERT_EQ(stopped[i], list[i]);
        Words expected = words;
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(list.size(), expected.size());
        ASSERT_EQ(tagged.size(), expected.size());
        for (std::size_t i = 0; i < list.size(); ++i) {
            ASSERT_EQ(list[i], expected[i]) << i;
            ASSERT_EQ(tagged[i], expected[i]) << i;
            ASSERT_EQ(words[tagged.tag(i)], tagged[i]) << i;
        }
    }
}

// A build on the caller's thread cannot be waited for by another on that
// thread (a signal handler that calls back while the build polls): a
// build_now() from inside make() answers Busy at once, and one after it
// builds as usual.
TEST(BuiltOnDemand, ABuildNowInsideABuildIsBusyNotAWait) {
    BuiltOnDemand<int> built;
    std::vector<Status> inner;
    auto nested = [&]() -> Result<std::unique_ptr<int>> {
        inner.push_back(built.build_now([] { return Result<std::unique_ptr<int>>(std::make_unique<int>(1)); }));
        return std::make_unique<int>(2);
    };
    built.build(nested);
    ASSERT_TRUE(built.build_now(nested));  // there already: nothing runs
    ASSERT_NE(built.get(), nullptr);
    EXPECT_EQ(*built.get(), 2);
    built.clear();
    ASSERT_TRUE(built.build_now(nested));
    ASSERT_EQ(inner.size(), 2u);
    for (const Status& status : inner) {
        ASSERT_FALSE(status);
        EXPECT_EQ(status.error().kind(), SorvanError::Kind::Busy);
    }
    EXPECT_EQ(*built.get(), 2);
}

// What a query builds for itself: built once the work comes to its worth;
// a make() that stops (Cancelled) leaves it to the next try, one that finds
// nothing to build or runs out of memory gives up until the next change;
// a move takes it along.
TEST(BuiltOnDemand, BuildsOnceWorthItAndGivesUpOnlyUntilAChange) {
    using Built = BuiltOnDemand<int>;
    int makes = 0;
    auto make_value = [&]() -> Result<std::unique_ptr<int>> {
        ++makes;
        return std::make_unique<int>(7);
    };
    auto make_cancelled = [&]() -> Result<std::unique_ptr<int>> {
        ++makes;
        return std::unexpected(SorvanError::cancelled());
    };

    Built built;
    EXPECT_FALSE(built.worth_building(9, 10));
    EXPECT_TRUE(built.worth_building(1, 10));
    built.build(make_cancelled);
    EXPECT_EQ(built.get(), nullptr);
    EXPECT_TRUE(built.worth_building(0, 10));  // not given up
    built.build(make_value);
    ASSERT_NE(built.get(), nullptr);
    EXPECT_EQ(*built.get(), 7);
    built.build(make_value);  // there already: not made again
    EXPECT_EQ(makes, 2);

    Built moved(std::move(built));
    EXPECT_EQ(built.get(), nullptr);
    ASSERT_NE(moved.get(), nullptr);
    EXPECT_EQ(*moved.get(), 7);
    moved.clear();
    EXPECT_EQ(moved.get(), nullptr);
    EXPECT_FALSE(moved.worth_building(0, 10));  // the count starts again

    // Nothing to build (too large for it), or memory running out.
    for (const bool throws : {false, true}) {
        Built failing;
        ASSERT_TRUE(failing.worth_building(10, 10));
        failing.build([&]() -> Result<std::unique_ptr<int>> {
            if (throws) throw std::bad_alloc();
            return std::unique_ptr<int>();
        });
        EXPECT_EQ(failing.get(), nullptr) << throws;
        EXPECT_FALSE(failing.worth_building(100, 10)) << throws;  // given up
        failing.build(make_value);
        EXPECT_EQ(failing.get(), nullptr) << throws;
        failing.clear();
        EXPECT_TRUE(failing.worth_building(10, 10)) << throws;
        failing.build(make_value);
        EXPECT_NE(failing.get(), nullptr) << throws;
    }
}

// A build off the query path, held at a gate until the test opens it. Its
// `make` holds `alive` until its thread is done with it.
struct GatedBuild {
    std::shared_ptr<std::atomic<bool>> gate = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<int>> entered = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<int> token = std::make_shared<int>(0);  // held by the first make() only
    std::weak_ptr<int> alive = token;

    // A make() that waits at the gate, or until told to stop when `polls`.
    auto make(int value, bool polls = false, bool throws = false) {
        return [gate = gate, entered = entered, token = std::move(token), value, polls,
                throws](Cancel* cancel) -> Result<std::unique_ptr<int>> {
            ++*entered;
            while (!gate->load()) {
                if (polls && cancel != nullptr && cancel->poll()) return std::unexpected(SorvanError::cancelled());
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
            if (throws) throw std::bad_alloc();
            return std::make_unique<int>(value);
        };
    }
    void open() const { gate->store(true); }
};

// Waits (up to 10 s) for `done`; false if it never came.
template <class Done>
bool eventually(Done&& done) {
    for (int i = 0; i < 100000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::microseconds(100));
    return done();
}

// A build started off the query path is published once done, exactly once,
// unless the words changed (or the holder went or moved) meanwhile: then
// the thread ends without publishing, and a new one can start.
TEST(BuiltOnDemand, BuildsOffTheCallersThreadAndNeverPublishesForAnOlderState) {
    using Built = BuiltOnDemand<int>;
    enum class Meanwhile { nothing, change, free, move };
    for (const Meanwhile meanwhile : {Meanwhile::nothing, Meanwhile::change, Meanwhile::free, Meanwhile::move}) {
        SCOPED_TRACE(static_cast<int>(meanwhile));
        GatedBuild first;
        {
            std::optional<Built> built(std::in_place);
            built->start(first.make(1));
            ASSERT_TRUE(eventually([&] { return *first.entered == 1; }));
            EXPECT_TRUE(built->building());
            built->start(first.make(2));  // one at a time
            EXPECT_EQ(built->get(), nullptr);  // the caller never waited
            Built other;
            if (meanwhile == Meanwhile::change) built->clear();
            if (meanwhile == Meanwhile::free) built.reset();
            if (meanwhile == Meanwhile::move) other = std::move(*built);
            first.open();
            ASSERT_TRUE(eventually([&] { return first.alive.expired(); }));
            EXPECT_EQ(*first.entered, 1);
            EXPECT_EQ(other.get(), nullptr);
            if (!built) continue;
            if (meanwhile != Meanwhile::nothing) {
                EXPECT_EQ(built->get(), nullptr);
                GatedBuild second;  // the next one is the changed words'
                second.open();
                built->start(second.make(3));
                ASSERT_TRUE(eventually([&] { return built->get() != nullptr; }));
                EXPECT_EQ(*built->get(), 3);
            } else {
                ASSERT_NE(built->get(), nullptr);
                EXPECT_EQ(*built->get(), 1);
                EXPECT_FALSE(built->building());
            }
        }
    }
}

// A change stops a build that polls at once; memory running out in a build
// gives up until the next change; build_now() passes both on to its caller.
TEST(BuiltOnDemand, BackgroundBuildsStopWhenToldAndGiveUpWhenMemoryRunsOut) {
    BuiltOnDemand<int> built;
    GatedBuild endless;  // never opened
    built.start(endless.make(1, /*polls=*/true));
    ASSERT_TRUE(eventually([&] { return *endless.entered == 1; }));
    built.clear();
    EXPECT_TRUE(eventually([&] { return endless.alive.expired(); }));

    GatedBuild failing;
    failing.open();
    built.start(failing.make(1, false, /*throws=*/true));
    ASSERT_TRUE(eventually([&] { return failing.alive.expired(); }));
    EXPECT_EQ(built.get(), nullptr);
    EXPECT_FALSE(built.worth_building(100, 10));  // given up
    EXPECT_THROW((void)built.build_now([&] { return failing.make(1, false, true)(nullptr); }), std::bad_alloc);
    const Status stopped = built.build_now([] { return Result<std::unique_ptr<int>>(std::unexpected(SorvanError::cancelled())); });
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().kind(), SorvanError::cancelled().kind());
    ASSERT_TRUE(built.build_now([] { return Result<std::unique_ptr<int>>(std::make_unique<int>(5)); }));
    EXPECT_EQ(*built.get(), 5);
}

// A child forked while its parent builds has no thread that could finish
// that build: it neither waits for it nor sees it published, and builds
// its own.
TEST(BuiltOnDemand, AForkedChildStartsItsOwnBuild) {
    BuiltOnDemand<int> built;
    GatedBuild parents;
    built.start(parents.make(1));
    ASSERT_TRUE(eventually([&] { return *parents.entered == 1; }));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        GatedBuild own;
        own.open();
        const bool was_building = built.building();
        built.start(own.make(2));
        const bool published = eventually([&] { return built.get() != nullptr; });
        _exit(!was_building && published && *built.get() == 2 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    parents.open();
    ASSERT_TRUE(eventually([&] { return built.get() != nullptr; }));
    EXPECT_EQ(*built.get(), 1);
}

}  // namespace
}  // namespace sorvan
