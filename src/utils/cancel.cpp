#include "utils/cancel.hpp"

namespace sorvan {

bool Cancel::poll() noexcept {
    if (!cancelled_ && poll_ != nullptr && poll_(context_)) cancelled_ = true;
    return cancelled_;
}

}  // namespace sorvan
