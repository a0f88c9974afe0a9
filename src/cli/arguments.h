#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace talvora::cli {

// The C-locale parse of the duration operand: optional sign, decimal or hexadecimal
// digits, optional exponent, or the words for infinity and not-a-number. None when the
// text is empty, starts with white space, or is not consumed whole.
std::optional<double> parseDurationText(std::string_view text);

// Finite, greater than 0 and at most 1800 seconds.
bool isValidDuration(double seconds);

inline constexpr double kLongestRecording = 1800;

}  // namespace talvora::cli
