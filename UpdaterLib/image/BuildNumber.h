// Build numbers written as decimal text: by the user, in the server's replies.
#pragma once
#include <cstdint>
#include <string>

namespace BuildNumber {

// The whole text is an unsigned decimal number that fits 32 bits ("12x", "",
// "-1" and "4294967296" are not).
bool FromText(const std::string& text, uint32_t& value);
// The same, but a reply line may end in blanks or a carriage return.
bool FromServerLine(const std::string& text, uint32_t& value);

}  // namespace BuildNumber
