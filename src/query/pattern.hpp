#pragma once
// Checks a wildcard pattern before any search runs it.

#include <string>
#include <string_view>

namespace sorvan {

// Normalises a wildcard pattern in one left-to-right pass: a run of `*` and
// `?` holding a `*` (or a single `?` right before a `*`) becomes one `*`, and
// any other run of `?` becomes one `?`. Every string is a valid pattern.
//   "a?*b" -> "a*b", "c???" -> "c?", "??*" -> "?*", "a?b?" -> "a?b?"
std::u32string validate_expression(std::u32string_view pattern);

}  // namespace sorvan
