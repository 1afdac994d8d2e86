#include "utils/background.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace sorvan {
namespace {

std::atomic<std::uint64_t> g_forks{0};

void count_fork_in_child() noexcept { g_forks.fetch_add(1, std::memory_order_relaxed); }

[[maybe_unused]] const int g_fork_counter = pthread_atfork(nullptr, nullptr, &count_fork_in_child);

}  // namespace

std::uint64_t fork_generation() noexcept { return g_forks.load(std::memory_order_relaxed); }

void lower_thread_priority() noexcept {
    pthread_setname_np(pthread_self(), "sorvan-build");
    // On Linux a nice value is a thread's own, named by its thread id, and
    // a new thread starts with its creator's: the build goes 10 below the
    // caller that started it, whatever the caller's own (19 is the lowest).
    const auto thread = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int caller = getpriority(PRIO_PROCESS, thread);
    if (errno != 0) return;
    (void)setpriority(PRIO_PROCESS, thread, std::min(caller + 10, 19));
}

}  // namespace sorvan
