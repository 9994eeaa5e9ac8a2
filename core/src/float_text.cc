#include "float_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace vordaopt {
namespace {

// Shortest round-trip digits of a finite, non-zero |value| and the decimal
// exponent of the first digit: value = 0.d1d2d3... × 10^(exponent + 1).
struct Digits {
  std::string digits;
  int exponent;
};

Digits shortest_digits(double magnitude) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, magnitude,
                           std::chars_format::scientific);
  std::string_view text(buf, static_cast<size_t>(res.ptr - buf));
  size_t e = text.find('e');
  Digits d;
  for (char c : text.substr(0, e)) {
    if (c != '.') d.digits.push_back(c);
  }
  d.exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
  return d;
}

std::string positional(const Digits& d) {
  std::string out;
  int point = d.exponent + 1;  // digits before the decimal point
  int n = static_cast<int>(d.digits.size());
  if (point <= 0) {
    out = "0.";
    out.append(static_cast<size_t>(-point), '0');
    out += d.digits;
  } else if (point >= n) {
    out = d.digits;
    out.append(static_cast<size_t>(point - n), '0');
    out += ".0";
  } else {
    out = d.digits.substr(0, static_cast<size_t>(point));
    out += '.';
    out += d.digits.substr(static_cast<size_t>(point));
  }
  return out;
}

bool special(double value, std::string& out) {
  if (std::isnan(value)) {
    out = "NaN";
    return true;
  }
  if (std::isinf(value)) {
    out = value < 0 ? "-inf" : "inf";
    return true;
  }
  if (value == 0.0) {
    out = std::signbit(value) ? "-0.0" : "0.0";
    return true;
  }
  return false;
}

}  // namespace

std::string float_repr(double value) {
  std::string out;
  if (special(value, out)) return out;
  double magnitude = std::fabs(value);
  Digits d = shortest_digits(magnitude);
  if (value < 0) out = "-";
  if (magnitude >= 1e-4 && magnitude < 1e16) {
    out += positional(d);
    return out;
  }
  out += d.digits.substr(0, 1);
  if (d.digits.size() > 1) {
    out += '.';
    out += d.digits.substr(1);
  }
  out += 'e';
  out += std::to_string(d.exponent);
  return out;
}

std::string float_plain(double value) {
  std::string out;
  if (special(value, out)) return out;
  if (value < 0) out = "-";
  out += positional(shortest_digits(std::fabs(value)));
  return out;
}

std::string reversed_range_message(double min, double max) {
  std::string out = "min > max, or either was NaN. min = ";
  out += float_repr(min);
  out += ", max = ";
  out += float_repr(max);
  return out;
}

}  // namespace vordaopt
