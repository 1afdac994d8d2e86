#include "utils/cancel.hpp"

namespace sorvan {

bool Cancel::poll() noexcept {
    if (!cancelled_ && poll_ != nullptr && poll_(context_)) cancelled_ = true;
    return cancelled_;
}

bool LoopCancel::poll() noexcept {
    if (stopped()) return true;
    if (caller_ == nullptr || std::this_thread::get_id() != caller_thread_ || !caller_->poll()) {
        return false;
    }
    stopped_.store(true, std::memory_order_relaxed);
    return true;
}

}  // namespace sorvan
