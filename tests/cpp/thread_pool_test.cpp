#include <gtest/gtest.h>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "utils/cancel.hpp"
#include "utils/thread_pool.hpp"

namespace sorvan {
namespace {

using namespace std::chrono_literals;

// A pool under test: the process-wide one (workers < 0) or a private one.
struct PoolUnderTest {
    explicit PoolUnderTest(int workers)
        : own(workers < 0 ? nullptr : std::make_unique<ThreadPool>(static_cast<std::size_t>(workers))) {}
    ThreadPool& get() { return own ? *own : ThreadPool::instance(); }
    std::unique_ptr<ThreadPool> own;
};

std::string pool_name(int workers) {
    return workers < 0 ? std::string("Shared") : "Own" + std::to_string(workers);
}

// Waits until `count` reaches `target`; false after 10 s. Items that wait
// for each other this way finish only if enough threads run them at once.
bool wait_for(const std::atomic<std::size_t>& count, std::size_t target) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (count.load() < target) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(50us);
    }
    return true;
}

// The ids of the threads that ran items.
class ThreadLog {
public:
    void record() {
        std::lock_guard lock(mutex_);
        ids_.insert(std::this_thread::get_id());
    }
    std::set<std::thread::id> ids() {
        std::lock_guard lock(mutex_);
        return ids_;
    }

private:
    std::mutex mutex_;
    std::set<std::thread::id> ids_;
};

constexpr ParallelOptions fine{.min_parallel = 0, .max_chunk = 1};

// Checks that every index in [0, n) was visited exactly once.
void expect_each_once(const std::vector<std::atomic<int>>& visits) {
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < visits.size(); ++i) {
        if (visits[i].load() != 1) {
            if (++wrong <= 5) ADD_FAILURE() << "index " << i << " visited " << visits[i].load() << " times";
        }
    }
    EXPECT_EQ(wrong, 0u);
}

void count_visits(ThreadPool& pool, std::size_t n, ParallelOptions options) {
    std::vector<std::atomic<int>> visits(n);
    pool.parallel_for(n, [&](std::size_t i) { visits[i].fetch_add(1); }, options);
    expect_each_once(visits);
}

// -------------------------------------------------------------- coverage --

using CoverageCase = std::tuple<int, std::size_t, bool>;  // workers, n, fine chunks
class Coverage : public ::testing::TestWithParam<CoverageCase> {};

TEST_P(Coverage, EveryIndexIsVisitedExactlyOnce) {
    const auto [workers, n, fine_chunks] = GetParam();
    PoolUnderTest pool(workers);
    count_visits(pool.get(), n, fine_chunks ? fine : ParallelOptions{});
}

INSTANTIATE_TEST_SUITE_P(
    PoolsAndSizes, Coverage,
    ::testing::Combine(::testing::Values(-1, 0, 1, 3),
                       // around the default threshold (256) and chunk cap (32)
                       ::testing::Values(0, 1, 2, 31, 255, 256, 257, 1000, 100003),
                       ::testing::Bool()),
    [](const auto& info) {
        return pool_name(std::get<0>(info.param)) + "_" + std::to_string(std::get<1>(info.param)) +
               (std::get<2>(info.param) ? "_Fine" : "_Default");
    });

TEST(ParallelFor, FreeFunctionVisitsEachIndexOnce) {
    for (std::size_t n : {0, 1, 255, 256, 5000}) {
        std::vector<std::atomic<int>> visits(n);
        parallel_for(n, [&](std::size_t i) { visits[i].fetch_add(1); });
        expect_each_once(visits);
    }
}

TEST(ParallelFor, BelowThresholdRunsOnTheCaller) {
    const ParallelOptions options{.min_parallel = 100, .max_chunk = 1};
    ThreadLog log;
    parallel_for(99, [&](std::size_t) { log.record(); }, options);
    EXPECT_EQ(log.ids(), std::set{std::this_thread::get_id()});
}

TEST(ParallelMap, ResultsLandInTheirOwnSlots) {
    for (std::size_t n : {0, 1, 300, 20000}) {
        auto words = parallel_map(n, [](std::size_t i) { return std::to_string(i * i); });
        ASSERT_EQ(words.size(), n);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(words[i], std::to_string(i * i)) << i;

        // Neighbouring bytes written by different threads (membership results).
        auto flags = parallel_map(n, [](std::size_t i) -> std::uint8_t { return i % 3 == 0; }, fine);
        ASSERT_EQ(flags.size(), n);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(flags[i], i % 3 == 0) << i;

        auto list_for = [](std::size_t i) { return std::vector<std::string>(i % 4, std::to_string(i)); };
        auto lists = parallel_map(n, list_for);
        ASSERT_EQ(lists.size(), n);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(lists[i], list_for(i));
    }
}

// ------------------------------------------------------------ balancing --

class Participation : public ::testing::TestWithParam<int> {};

// Each item waits until every thread holds one: only a pool whose workers all
// join the loop gets through.
TEST_P(Participation, EveryWorkerTakesPart) {
    PoolUnderTest pool(GetParam());
    const std::size_t threads = pool.get().worker_count() + 1;
    if (GetParam() < 0) {
        ASSERT_GE(threads, 2u) << "the shared pool started no worker";
    }
    // Let the workers start and fall asleep: they must be woken for the loop.
    count_visits(pool.get(), 1000, {});
    std::this_thread::sleep_for(20ms);
    std::atomic<std::size_t> arrived{0};
    std::atomic<std::size_t> timeouts{0};
    ThreadLog log;
    pool.get().parallel_for(threads, [&](std::size_t) {
        log.record();
        arrived.fetch_add(1);
        if (!wait_for(arrived, threads)) timeouts.fetch_add(1);
    }, fine);
    EXPECT_EQ(timeouts.load(), 0u);
    EXPECT_EQ(log.ids().size(), threads);
}

// A few slow items among many fast ones, close together, as happens when the
// input is sorted by length: they must not all fall to one thread, which a
// split of the range into one block per thread would do.
TEST_P(Participation, SlowItemsCloseTogetherRunOnDifferentThreads) {
    PoolUnderTest pool(GetParam());
    if (pool.get().worker_count() == 0) GTEST_SKIP() << "needs a worker";
    for (auto [n, options, slow_a, slow_b] : {std::tuple{10000zu, ParallelOptions{}, 0zu, 100zu},
                                              std::tuple{64zu, fine, 0zu, 1zu}}) {
        std::atomic<std::size_t> slow_started{0};
        std::atomic<std::size_t> timeouts{0};
        std::vector<std::atomic<int>> visits(n);
        pool.get().parallel_for(n, [&](std::size_t i) {
            visits[i].fetch_add(1);
            if (i == slow_a || i == slow_b) {
                slow_started.fetch_add(1);
                if (!wait_for(slow_started, 2)) timeouts.fetch_add(1);
            }
        }, options);
        EXPECT_EQ(timeouts.load(), 0u)
            << "slow items " << slow_a << " and " << slow_b << " ran one after the other";
        expect_each_once(visits);
    }
}

INSTANTIATE_TEST_SUITE_P(Pools, Participation, ::testing::Values(-1, 1, 3),
                         [](const auto& info) { return pool_name(info.param); });

// ------------------------------------------------------------ exceptions --

using FailureCase = std::tuple<int, std::size_t>;  // workers, n
class Failure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(Failure, ExceptionReachesTheCallerAndThePoolGoesOn) {
    const auto [workers, n] = GetParam();
    PoolUnderTest pool(workers);
    const std::size_t bad = n / 2;
    try {
        pool.get().parallel_for(n, [&](std::size_t i) {
            if (i == bad) throw std::runtime_error("item " + std::to_string(i));
        });
        ADD_FAILURE() << "nothing thrown";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "item " + std::to_string(bad));
    }
    EXPECT_THROW(pool.get().parallel_for(n, [](std::size_t) { throw std::bad_alloc(); }), std::bad_alloc);
    count_visits(pool.get(), n, {});
}

INSTANTIATE_TEST_SUITE_P(PoolsAndSizes, Failure,
                         ::testing::Combine(::testing::Values(-1, 0, 3), ::testing::Values(10, 5000)),
                         [](const auto& info) {
                             const std::size_t n = std::get<1>(info.param);
                             return pool_name(std::get<0>(info.param)) + "_" + std::to_string(n);
                         });

// The exception may be rethrown only when no thread still runs an item: the
// caller's state (the lambda's captures, the output) dies right after.
TEST(Failure, NoItemRunsAfterTheCallerResumes) {
    const std::size_t n = 2000;
    auto running = std::make_shared<std::atomic<int>>(0);
    auto started = std::make_shared<std::atomic<std::size_t>>(0);
    auto returned = std::make_shared<std::atomic<bool>>(false);
    auto late = std::make_shared<std::atomic<int>>(0);
    EXPECT_THROW(parallel_for(n, [=](std::size_t i) {
        if (returned->load()) late->fetch_add(1);
        running->fetch_add(1);
        started->fetch_add(1);
        std::this_thread::sleep_for(100us);
        if (i == 10) {
            running->fetch_sub(1);
            throw std::runtime_error("bad item");
        }
        if (returned->load()) late->fetch_add(1);
        running->fetch_sub(1);
    }), std::runtime_error);
    returned->store(true);
    EXPECT_EQ(running->load(), 0);
    const std::size_t started_at_return = started->load();
    // Only the chunks claimed before the failure ran, far fewer than all.
    EXPECT_LT(started_at_return, n / 2) << "items after the failure were not skipped";
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(late->load(), 0);
    EXPECT_EQ(started->load(), started_at_return);
}

// ----------------------------------------------------------- concurrency --

class ConcurrentCallers : public ::testing::TestWithParam<int> {};

TEST_P(ConcurrentCallers, EachGetsItsOwnResults) {
    PoolUnderTest pool(GetParam());
    constexpr std::size_t callers = 8;
    constexpr std::size_t rounds = 25;
    std::atomic<std::size_t> wrong{0};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < callers; ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t r = 0; r < rounds; ++r) {
                const std::size_t n = 200 + 397 * t + 131 * r;
                std::vector<std::size_t> out(n);
                pool.get().parallel_for(n, [&](std::size_t i) { out[i] = i * callers + t; },
                                        {.min_parallel = 64, .max_chunk = 1 + r % 8});
                for (std::size_t i = 0; i < n; ++i) {
                    if (out[i] != i * callers + t) wrong.fetch_add(1);
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Pools, ConcurrentCallers, ::testing::Values(-1, 2),
                         [](const auto& info) { return pool_name(info.param); });

// An item may run a loop of its own, even on a worker.
TEST(ConcurrentCallers, NestedLoopsFinish) {
    std::vector<std::size_t> sums = parallel_map(16, [](std::size_t outer) {
        std::vector<std::size_t> inner(1000);
        parallel_for(inner.size(), [&](std::size_t i) { inner[i] = i * outer; }, {.min_parallel = 2});
        std::size_t sum = 0;
        for (std::size_t v : inner) sum += v;
        return sum;
    }, fine);
    for (std::size_t outer = 0; outer < sums.size(); ++outer) EXPECT_EQ(sums[outer], outer * 999 * 1000 / 2);
}

// ------------------------------------------------------------ processes --

// Runs `body` in a forked child and returns its exit code, or -1 when it was
// killed (by its own alarm after `seconds`, or here after longer).
int run_in_child(const std::function<int()>& body, unsigned seconds = 10) {
    const pid_t pid = fork();
    if (pid < 0) return -2;
    if (pid == 0) {
        alarm(seconds);
        int code = 100;
        try {
            code = body();
        } catch (...) {
            code = 101;
        }
        _exit(code);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds + 5);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(5ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// 0 if parallel_map squares [0, n) correctly, else 1.
int squares_ok(std::size_t n) {
    auto out = parallel_map(n, [](std::size_t i) { return i * i; }, {.min_parallel = 2, .max_chunk = 7});
    for (std::size_t i = 0; i < n; ++i) {
        if (out[i] != i * i) return 1;
    }
    return 0;
}

// Child exit codes.
constexpr int child_ok = 0;
constexpr int child_wrong = 1;
constexpr int child_stale_pool = 2;
constexpr int child_no_workers = 3;
constexpr int child_has_workers = 4;
constexpr int child_cannot_block_threads = 77;

// The parent's pool is in use, even mid-loop on another thread, when the
// process forks: the child's loops get a fresh pool whose workers work.
TEST(Fork, ChildGetsAFreshWorkingPool) {
    ThreadPool* parent_pool = &ThreadPool::instance();
    ASSERT_EQ(squares_ok(5000), 0);

    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop.load()) squares_ok(3000);
    });
    for (int round = 0; round < 10; ++round) {
        const int code = run_in_child([parent_pool] {
            ThreadPool& pool = ThreadPool::instance();
            if (&pool == parent_pool) return child_stale_pool;
            if (squares_ok(20000) != 0) return child_wrong;
            // All threads must be able to meet inside one loop.
            const std::size_t threads = pool.worker_count() + 1;
            if (threads < 2) return child_no_workers;
            std::atomic<std::size_t> arrived{0};
            std::atomic<std::size_t> timeouts{0};
            pool.parallel_for(threads, [&](std::size_t) {
                arrived.fetch_add(1);
                if (!wait_for(arrived, threads)) timeouts.fetch_add(1);
            }, fine);
            return timeouts.load() == 0 ? child_ok : child_no_workers;
        });
        EXPECT_EQ(code, child_ok) << "round " << round << " (-1: the child hung or crashed)";
    }
    stop.store(true);
    busy.join();
    EXPECT_EQ(&ThreadPool::instance(), parent_pool);
    EXPECT_EQ(squares_ok(5000), 0);
}

// In a fresh process, many threads make their first loop at the same time:
// all of them race to create the shared pool.
TEST(Fork, FirstUseFromManyThreadsAtOnce) {
    ThreadPool::instance();  // the child has to create its own
    const int code = run_in_child([] {
        std::atomic<bool> go{false};
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&] {
                while (!go.load()) std::this_thread::yield();
                if (squares_ok(4000) != 0) failures.fetch_add(1);
            });
        }
        go.store(true);
        for (std::thread& t : threads) t.join();
        return failures.load() == 0 ? child_ok : child_wrong;
    });
    EXPECT_EQ(code, child_ok);
}

// Makes every later thread creation fail with EAGAIN, as when a process has
// hit its thread limit (clone3 reports ENOSYS so that the C library falls
// back to clone). False if the system refuses the filter.
bool refuse_new_threads() {
    sock_filter filter[] = {
        {BPF_LD | BPF_W | BPF_ABS, 0, 0, offsetof(seccomp_data, nr)},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, __NR_clone3},
        {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ERRNO | ENOSYS},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, __NR_clone},
        {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ERRNO | EAGAIN},
        {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW},
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST(ThreadsRefused, LoopsRunOnTheCaller) {
    ThreadPool::instance();
    const int code = run_in_child([] {
        if (!refuse_new_threads()) return child_cannot_block_threads;
        // The child's first loop creates its pool, which gets no thread.
        if (squares_ok(50000) != 0) return child_wrong;
        if (ThreadPool::instance().worker_count() != 0) return child_has_workers;
        ThreadPool own(4);
        if (own.worker_count() != 0) return child_has_workers;
        std::vector<std::size_t> out(1000);
        own.parallel_for(out.size(), [&](std::size_t i) { out[i] = i + 1; }, fine);
        for (std::size_t i = 0; i < out.size(); ++i) {
            if (out[i] != i + 1) return child_wrong;
        }
        return child_ok;
    });
    if (code == child_cannot_block_threads) GTEST_SKIP() << "seccomp filters are not available here";
    EXPECT_EQ(code, child_ok);
}

// A caller-side poll that says stop once `stop` is set, counting its calls
// and the threads it was called on.
struct CallerPoll {
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    ThreadLog threads;
    static bool poll(void* self) noexcept {
        auto& p = *static_cast<CallerPoll*>(self);
        p.calls.fetch_add(1);
        p.threads.record();
        return p.stop.load();
    }
};

class Cancellation : public ::testing::TestWithParam<int> {};

// Items spin until their own Cancel stops them; only the caller's thread
// may ask the caller's poll, and it does so while it waits for the workers.
TEST_P(Cancellation, TheCallersPollStopsEveryThread) {
    PoolUnderTest pool(GetParam());
    CallerPoll caller_poll;
    Cancel caller(&CallerPoll::poll, &caller_poll);
    LoopCancel loop(&caller);
    ParallelOptions options = fine;
    options.cancel = &loop;
    std::atomic<std::size_t> started{0}, finished{0};
    const std::size_t n = 64;
    std::thread trigger([&] {
        wait_for(started, std::min<std::size_t>(n, pool.get().worker_count() + 1));
        std::this_thread::sleep_for(30ms);
        caller_poll.stop.store(true);
    });
    pool.get().parallel_for(n, [&](std::size_t) {
        started.fetch_add(1);
        Cancel item = loop.for_item();
        while (!item.poll()) std::this_thread::yield();
        finished.fetch_add(1);
    }, options);
    trigger.join();
    EXPECT_TRUE(caller.cancelled());
    EXPECT_TRUE(loop.stopped());
    EXPECT_LT(started.load(), n);  // the items not started were skipped
    EXPECT_EQ(finished.load(), started.load());
    EXPECT_EQ(caller_poll.threads.ids(), std::set{std::this_thread::get_id()});
    // The pool runs the next loop in full.
    count_visits(pool.get(), 1000, fine);
}

INSTANTIATE_TEST_SUITE_P(Pools, Cancellation, ::testing::Values(-1, 0, 2),
                         [](const auto& info) { return pool_name(info.param); });

TEST(Cancellation, WithoutACallerCancelTheLoopRunsInFull) {
    LoopCancel loop(nullptr);
    ParallelOptions options = fine;
    options.cancel = &loop;
    std::vector<std::atomic<int>> visits(500);
    parallel_for(visits.size(), [&](std::size_t i) { visits[i].fetch_add(1); }, options);
    expect_each_once(visits);
    EXPECT_FALSE(loop.stopped());
}

}  // namespace
}  // namespace sorvan
