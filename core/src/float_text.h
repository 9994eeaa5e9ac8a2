// Text forms of 64-bit floats used in messages and diagnostics.
//
// Both forms use the shortest digit string that reads back to the same double.
#ifndef VORDAOPT_CORE_FLOAT_TEXT_H_
#define VORDAOPT_CORE_FLOAT_TEXT_H_

#include <string>

namespace vordaopt {

// Compact form: plain decimal with at least one digit after the point when the
// magnitude is 0 or in [1e-4, 1e16) ("2.0", "0.5", "-3.25"); otherwise exponent
// form without '+' or leading zeros ("1e-5", "1.5e-7", "1e16"). Non-finite
// values read "NaN", "inf", "-inf".
std::string float_repr(double value);

// Positional form: never an exponent; ".0" is appended when the text has no
// decimal point ("100.0", "0.00001"). Used for the kind of a value found in a
// document ("floating point `100.0`").
std::string float_plain(double value);

// The message of a reversed or NaN range: "min > max, or either was NaN. min = …,
// max = …" with both bounds in the compact form.
std::string reversed_range_message(double min, double max);

}  // namespace vordaopt

#endif  // VORDAOPT_CORE_FLOAT_TEXT_H_
