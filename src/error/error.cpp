#include "error/error.hpp"

#include <cstring>

namespace sorvan {

SorvanError SorvanError::order_violation(std::string previous, std::string current) {
    return {Kind::OrderViolation, std::move(previous), std::move(current)};
}

SorvanError SorvanError::io(std::string message) {
    return {Kind::Io, std::move(message), {}};
}

SorvanError SorvanError::cancelled() { return {Kind::Cancelled, {}, {}}; }
SorvanError SorvanError::busy() { return {Kind::Busy, {}, {}}; }
SorvanError SorvanError::invalid_image(std::string what) {
    return {Kind::InvalidImage, std::move(what), {}};
}

SorvanError SorvanError::internal(std::string what) {
    return {Kind::Internal, std::move(what), {}};
}

SorvanError SorvanError::bad_input(std::string what) {
    return {Kind::BadInput, std::move(what), {}};
}

SorvanError SorvanError::from_errno(int error_number) {
    return io(std::string(std::strerror(error_number)) + " (os error " +
              std::to_string(error_number) + ")");
}

std::string SorvanError::display() const {
    switch (kind_) {
        case Kind::OrderViolation:
            return "Words must be inserted in alphabetical order. Previous: '" + first_ +
                   "', Current: '" + second_ + "'";
        case Kind::InvalidImage:
            return "Invalid lexicon image: " + first_;
        case Kind::Internal:
            return "sorvan: internal error: " + first_;
        case Kind::BadInput:
            return first_;
        case Kind::Io:
            break;
        case Kind::Cancelled:
            return "interrupted";
        case Kind::Busy:
            return "Already borrowed";
    }
    return "IO error: " + first_;
}

}  // namespace sorvan
