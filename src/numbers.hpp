// Decimal numbers in text, as the readers of record files need them.
#pragma once

#include "views.hpp"

namespace gm {

// The whitespace-separated decimal numbers of `text` (space, tab, line
// ends, form feed), each rounded correctly to float64, as an (n + 1,) array
// whose first element is -1 and whose others are the n numbers; when a
// token is not a decimal number (an optional sign, digits with at most one
// point, an optional e or E exponent, or inf or nan), the first element is
// the byte offset of that token and no number follows.
OwnedArray parse_numbers(const Text& text);

}  // namespace gm
