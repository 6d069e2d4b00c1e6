#pragma once
// Text-to-number rules of the program, kept in one place.
//
// Settings and file values are texts; readers convert them where they use them. Each
// conversion either yields a value or "not a number" (std::nullopt), which callers treat as a
// failed step.

#include <QString>
#include <optional>
#include <cstdint>

namespace numbers {

// Decimal text (blanks around it allowed, a sign, a fraction, an exponent) as a double. A value
// too small for a double is 0, one too large is an infinity of its sign; "inf", "nan", hex and
// any other text is not a number.
std::optional<double> toDouble(const QString &text);

// The same rounded to the nearest
// whole number (ties to even) and range-checked to a signed 16-bit integer.
std::optional<int16_t> toInt16(const QString &text);

// The same, range-checked to a signed 32-bit integer.
std::optional<int32_t> toInt32(const QString &text);

// Hexadecimal digits read from the start of the text up to the first character that is not a
// hex digit; an empty run of digits gives 0. Never fails.
uint32_t hexPrefix(const QString &text);

// Decimal text of a whole number, written the way the program writes numbers into titles:
// a leading blank in the place of a plus sign ("1" -> " 1", -3 -> "-3").
QString signedWithBlank(long long value);

} // namespace numbers
