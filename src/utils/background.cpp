#include "utils/background.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace sorvan {
namespace {

std::atomic<std::uint64_t> g_forks{0};

void count_fork_in_child() noexcept { g_forks.fetch_add(1, std::memory_order_relaxed); }

[[maybe_unused]] const int g_fork_counter = pthread_atfork(nullptr, nullptr, &count_fork_in_child);

}  // namespace

std::uint64_t fork_generation() noexcept { return g_forks.load(std::memory_order_relaxed); }

void lower_thread_priority() noexcept {
    pthread_setname_np(pthread_self(), "sorvan-build");
    // On Linux a nice value is a thread's own, named by its thread id.
    const auto thread = static_cast<id_t>(syscall(SYS_gettid));
    (void)setpriority(PRIO_PROCESS, thread, 10);
}

}  // namespace sorvan
