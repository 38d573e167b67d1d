#pragma once

#include <cstdint>
#include <string_view>

namespace kestrup {

// A COM field's text as a port number: leading blanks, one sign, decimal digits taken modulo 2^32
// up to the first other character. Text without digits in the right place gives 0.
std::int32_t comNumberFromText(std::string_view text);

}  // namespace kestrup
