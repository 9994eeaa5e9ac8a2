#include "json/deserialize.h"

namespace vordaopt::json {
namespace {

// Reads the number ahead, or reports the value ahead as the wrong kind.
bool read_number(Reader& r, std::string_view expected, Number& n) {
  int c = r.skip_whitespace();
  if (c == Reader::kEof) return r.fail_peek(SyntaxError::kEofWhileParsingValue);
  if (c == '-') {
    r.eat();
    return r.parse_integer(false, n);
  }
  if (c >= '0' && c <= '9') return r.parse_integer(true, n);
  return r.peek_invalid_type(expected);
}

}  // namespace

bool read_u64(Reader& r, uint64_t& out) {
  Number n;
  if (!read_number(r, "u64", n)) return false;
  switch (n.kind) {
    case Number::Kind::kUnsigned:
      out = n.u;
      return true;
    case Number::Kind::kSigned:
      r.fail_unplaced(invalid_value_message(n.kind_text(), "u64"));
      break;
    case Number::Kind::kFloat:
      r.fail_unplaced(invalid_type_message(n.kind_text(), "u64"));
      break;
  }
  r.fix_position();
  return false;
}

bool read_f64(Reader& r, double& out) {
  Number n;
  if (!read_number(r, "f64", n)) return false;
  out = n.as_double();
  return true;
}

}  // namespace vordaopt::json
