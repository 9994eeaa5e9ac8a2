#include "json/reader.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vordaopt::json {
namespace {

// Whether a JSON number literal that from_chars found out of range overflowed
// (its leading digit stands at 10^0 or above) rather than underflowed to zero.
// The literal is well formed: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool literal_overflows(const char* p, const char* last) {
  if (p < last && *p == '-') ++p;
  const char* int_begin = p;
  while (p < last && *p >= '0' && *p <= '9') ++p;
  long long lead;  // decimal exponent of the first non-zero digit
  if (!(p - int_begin == 1 && *int_begin == '0')) {
    lead = (p - int_begin) - 1;
    while (p < last && *p != 'e' && *p != 'E') ++p;
  } else {
    lead = -1;
    if (p < last && *p == '.') {
      ++p;
      while (p < last && *p == '0') {
        --lead;
        ++p;
      }
    }
    while (p < last && *p != 'e' && *p != 'E') ++p;
  }
  long long exponent = 0;
  if (p < last) {
    ++p;  // 'e' or 'E'
    bool minus = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    for (; p < last; ++p) {
      // Saturate: beyond a billion either way the answer cannot change.
      if (exponent < 1000000000) exponent = exponent * 10 + (*p - '0');
    }
    if (minus) exponent = -exponent;
  }
  return lead + exponent >= 0;
}

bool is_digit(int c) { return c >= '0' && c <= '9'; }

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void push_utf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(const unsigned char* p, size_t n) {
  size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t extra;
    char32_t lo;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, lo = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, lo = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, lo = 0x10000;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    char32_t cp = c & (0x3F >> extra);
    for (size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (cp < lo || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace

std::string Number::kind_text() const {
  switch (kind) {
    case Kind::kUnsigned: return kind_unsigned(u);
    case Kind::kSigned: return kind_signed(i);
    case Kind::kFloat: return kind_float(f);
  }
  return {};
}

// --- Errors -----------------------------------------------------------------

bool Reader::fail(SyntaxError code) {
  if (!has_error_) {
    has_error_ = placed_ = true;
    error_index_ = index_;
    error_body_ = syntax_message(code);
  }
  return false;
}

bool Reader::fail_peek(SyntaxError code) {
  if (!has_error_) {
    has_error_ = placed_ = true;
    error_index_ = index_ < len_ ? index_ + 1 : len_;
    error_body_ = syntax_message(code);
  }
  return false;
}

bool Reader::fail_unplaced(std::string body) {
  if (!has_error_) {
    has_error_ = true;
    placed_ = false;
    error_body_ = std::move(body);
  }
  return false;
}

void Reader::fix_position() {
  if (has_error_ && !placed_) {
    placed_ = true;
    error_index_ = index_;
  }
}

ParseError Reader::take_error() const {
  // The error sits after the first error_index_ bytes: its line is one more
  // than the line feeds among them, its column the bytes after the last one.
  size_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < error_index_; ++i) {
    if (data_[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return ParseError{error_body_ + " at line " + std::to_string(line) + " column " +
                    std::to_string(error_index_ - line_start)};
}

// --- Scalars ------------------------------------------------------------------

bool Reader::parse_ident(const char* rest) {
  for (const char* p = rest; *p; ++p) {
    int c = next();
    if (c == kEof) return fail(SyntaxError::kEofWhileParsingValue);
    if (c != static_cast<unsigned char>(*p)) return fail(SyntaxError::kExpectedSomeIdent);
  }
  return true;
}

bool Reader::parse_string(std::string& out) {
  out.clear();
  size_t start = index_;
  bool ascii = true;
  for (;;) {
    while (index_ < len_) {
      unsigned char c = static_cast<unsigned char>(data_[index_]);
      if (c == '"' || c == '\\' || c < 0x20) break;
      ascii &= c < 0x80;
      ++index_;
    }
    if (index_ == len_) return fail(SyntaxError::kEofWhileParsingString);
    char c = data_[index_];
    if (c == '"') {
      out.append(data_ + start, index_ - start);
      ++index_;
      if (!ascii && !valid_utf8(reinterpret_cast<const unsigned char*>(out.data()), out.size())) {
        return fail(SyntaxError::kInvalidUnicodeCodePoint);
      }
      return true;
    }
    if (c == '\\') {
      out.append(data_ + start, index_ - start);
      ++index_;
      if (!parse_escape(out)) return false;
      start = index_;
      continue;
    }
    ++index_;
    return fail(SyntaxError::kControlCharacterWhileParsingString);
  }
}

bool Reader::decode_hex_escape(uint32_t& out) {
  if (len_ - index_ < 4) {
    index_ = len_;
    return fail(SyntaxError::kEofWhileParsingString);
  }
  uint32_t n = 0;
  for (int k = 0; k < 4; ++k) {
    int v = hex_value(static_cast<unsigned char>(data_[index_]));
    ++index_;
    if (v < 0) return fail(SyntaxError::kInvalidEscape);
    n = (n << 4) | static_cast<uint32_t>(v);
  }
  out = n;
  return true;
}

bool Reader::parse_escape(std::string& out) {
  int c = next();
  switch (c) {
    case kEof: return fail(SyntaxError::kEofWhileParsingString);
    case '"': out.push_back('"'); return true;
    case '\\': out.push_back('\\'); return true;
    case '/': out.push_back('/'); return true;
    case 'b': out.push_back('\b'); return true;
    case 'f': out.push_back('\f'); return true;
    case 'n': out.push_back('\n'); return true;
    case 'r': out.push_back('\r'); return true;
    case 't': out.push_back('\t'); return true;
    case 'u': break;
    default: return fail(SyntaxError::kInvalidEscape);
  }
  uint32_t n1;
  if (!decode_hex_escape(n1)) return false;
  if (n1 >= 0xDC00 && n1 <= 0xDFFF) return fail(SyntaxError::kLoneLeadingSurrogateInHexEscape);
  if (n1 < 0xD800 || n1 > 0xDBFF) {
    push_utf8(n1, out);
    return true;
  }
  // A leading surrogate must be followed at once by an escaped trailing one.
  for (char expected : {'\\', 'u'}) {
    int p = peek();
    if (p == kEof) return fail(SyntaxError::kEofWhileParsingString);
    eat();
    if (p != expected) return fail(SyntaxError::kUnexpectedEndOfHexEscape);
  }
  uint32_t n2;
  if (!decode_hex_escape(n2)) return false;
  if (n2 < 0xDC00 || n2 > 0xDFFF) return fail(SyntaxError::kLoneLeadingSurrogateInHexEscape);
  push_utf8(0x10000 + (((n1 - 0xD800) << 10) | (n2 - 0xDC00)), out);
  return true;
}

bool Reader::parse_integer(bool positive, Number& out) {
  size_t start = positive ? index_ : index_ - 1;
  int c = next();
  if (c == kEof) return fail(SyntaxError::kEofWhileParsingValue);
  if (c == '0') {
    // Only one leading zero.
    if (is_digit(peek())) return fail_peek(SyntaxError::kInvalidNumber);
    return parse_number_tail(positive, 0, start, out);
  }
  if (c < '1' || c > '9') return fail(SyntaxError::kInvalidNumber);
  uint64_t significand = static_cast<uint64_t>(c - '0');
  for (;;) {
    int p = peek();
    if (!is_digit(p)) return parse_number_tail(positive, significand, start, out);
    uint64_t digit = static_cast<uint64_t>(p - '0');
    if (significand > (UINT64_MAX - digit) / 10) {
      // Too large for 64 bits: the literal is read as a double.
      while (is_digit(peek())) eat();
      int q = peek();
      if (q == '.') return parse_decimal(start, out);
      if (q == 'e' || q == 'E') return parse_exponent(start, out);
      return finish_float(start, out);
    }
    eat();
    significand = significand * 10 + digit;
  }
}

bool Reader::parse_number_tail(bool positive, uint64_t significand, size_t start, Number& out) {
  int p = peek();
  if (p == '.') return parse_decimal(start, out);
  if (p == 'e' || p == 'E') return parse_exponent(start, out);
  if (positive) {
    out.kind = Number::Kind::kUnsigned;
    out.u = significand;
  } else if (significand != 0 && significand <= (uint64_t{1} << 63)) {
    out.kind = Number::Kind::kSigned;
    out.i = static_cast<int64_t>(0 - significand);
  } else {
    // -0 and negatives beyond 64 bits are floating point.
    out.kind = Number::Kind::kFloat;
    out.f = -static_cast<double>(significand);
  }
  return true;
}

bool Reader::parse_decimal(size_t start, Number& out) {
  eat();  // '.'
  bool any = false;
  while (is_digit(peek())) {
    eat();
    any = true;
  }
  if (!any) {
    return fail_peek(peek() == kEof ? SyntaxError::kEofWhileParsingValue
                                    : SyntaxError::kInvalidNumber);
  }
  int p = peek();
  if (p == 'e' || p == 'E') return parse_exponent(start, out);
  return finish_float(start, out);
}

bool Reader::parse_exponent(size_t start, Number& out) {
  eat();  // 'e' or 'E'
  int p = peek();
  if (p == '+' || p == '-') eat();
  int c = next();
  if (c == kEof) return fail(SyntaxError::kEofWhileParsingValue);
  if (!is_digit(c)) return fail(SyntaxError::kInvalidNumber);
  while (is_digit(peek())) eat();
  return finish_float(start, out);
}

bool Reader::finish_float(size_t start, Number& out) {
  const char* first = data_ + start;
  const char* last = data_ + index_;
  double value = 0.0;
  auto res = std::from_chars(first, last, value);
  if (res.ec == std::errc::result_out_of_range) {
    // from_chars leaves the value unset on overflow and on underflow alike.
    // (strtod would tell them apart, but it reads the decimal point of the C
    // locale, which a host program may have changed.)
    bool negative = *first == '-';
    value = literal_overflows(first, last) ? HUGE_VAL : 0.0;
    if (negative) value = -value;
  }
  if (std::isinf(value)) return fail(SyntaxError::kNumberOutOfRange);
  out.kind = Number::Kind::kFloat;
  out.f = value;
  return true;
}

// --- Skipping -------------------------------------------------------------------

bool Reader::skip_escape() {
  int c = next();
  switch (c) {
    case kEof: return fail(SyntaxError::kEofWhileParsingString);
    case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
      return true;
    case 'u': {
      // A skipped string is never decoded, so any code unit is accepted.
      uint32_t unused;
      return decode_hex_escape(unused);
    }
    default: return fail(SyntaxError::kInvalidEscape);
  }
}

bool Reader::skip_string() {
  for (;;) {
    while (index_ < len_) {
      unsigned char c = static_cast<unsigned char>(data_[index_]);
      if (c == '"' || c == '\\' || c < 0x20) break;
      ++index_;
    }
    if (index_ == len_) return fail(SyntaxError::kEofWhileParsingString);
    char c = data_[index_];
    if (c == '"') {
      ++index_;
      return true;
    }
    if (c != '\\') return fail(SyntaxError::kControlCharacterWhileParsingString);
    ++index_;
    if (!skip_escape()) return false;
  }
}

bool Reader::skip_number() {
  int c = next();
  if (c == '0') {
    if (is_digit(peek())) return fail_peek(SyntaxError::kInvalidNumber);
  } else if (c >= '1' && c <= '9') {
    while (is_digit(peek())) eat();
  } else {
    return fail(SyntaxError::kInvalidNumber);
  }
  int p = peek();
  if (p == '.') {
    eat();
    bool any = false;
    while (is_digit(peek())) {
      eat();
      any = true;
    }
    if (!any) return fail_peek(SyntaxError::kInvalidNumber);
    p = peek();
  }
  if (p == 'e' || p == 'E') {
    eat();
    p = peek();
    if (p == '+' || p == '-') eat();
    if (!is_digit(next())) return fail(SyntaxError::kInvalidNumber);
    while (is_digit(peek())) eat();
  }
  return true;
}

bool Reader::skip_value() {
  // Open containers are kept on an explicit stack of bracket bytes, so the
  // depth of a skipped value costs memory, never native stack.
  std::vector<char> stack;
  char enclosing = 0;  // container just opened, not yet on the stack
  for (;;) {
    int c = skip_whitespace();
    char frame = 0;
    switch (c) {
      case kEof: return fail_peek(SyntaxError::kEofWhileParsingValue);
      case 'n': eat(); if (!parse_ident("ull")) return false; break;
      case 't': eat(); if (!parse_ident("rue")) return false; break;
      case 'f': eat(); if (!parse_ident("alse")) return false; break;
      case '-': eat(); if (!skip_number()) return false; break;
      case '"': eat(); if (!skip_string()) return false; break;
      case '[': case '{':
        if (enclosing) stack.push_back(enclosing);
        enclosing = 0;
        eat();
        frame = static_cast<char>(c);
        break;
      default:
        if (is_digit(c)) {
          if (!skip_number()) return false;
          break;
        }
        return fail_peek(SyntaxError::kExpectedSomeValue);
    }

    bool accept_comma;
    if (frame) {
      accept_comma = false;
    } else if (enclosing) {
      frame = enclosing;
      enclosing = 0;
      accept_comma = true;
    } else if (!stack.empty()) {
      frame = stack.back();
      stack.pop_back();
      accept_comma = true;
    } else {
      return true;
    }

    // Close every container that ends here, then expect the next element.
    for (;;) {
      int p = skip_whitespace();
      if (p == ',' && accept_comma) {
        eat();
        break;
      }
      if ((p == ']' && frame == '[') || (p == '}' && frame == '{')) {
        eat();
        if (stack.empty()) return true;
        frame = stack.back();
        stack.pop_back();
        accept_comma = true;
        continue;
      }
      if (p == kEof) {
        return fail_peek(frame == '[' ? SyntaxError::kEofWhileParsingList
                                      : SyntaxError::kEofWhileParsingObject);
      }
      if (accept_comma) {
        return fail_peek(frame == '[' ? SyntaxError::kExpectedListCommaOrEnd
                                      : SyntaxError::kExpectedObjectCommaOrEnd);
      }
      break;
    }

    if (frame == '{') {
      int p = skip_whitespace();
      if (p == kEof) return fail_peek(SyntaxError::kEofWhileParsingValue);
      if (p != '"') return fail_peek(SyntaxError::kKeyMustBeAString);
      eat();
      if (!skip_string()) return false;
      p = skip_whitespace();
      if (p == kEof) return fail_peek(SyntaxError::kEofWhileParsingObject);
      if (p != ':') return fail_peek(SyntaxError::kExpectedColon);
      eat();
    }
    enclosing = frame;
  }
}

bool Reader::peek_invalid_type(std::string_view expected) {
  std::string found;
  int c = peek();
  switch (c) {
    case 'n': eat(); if (!parse_ident("ull")) return false; found = kKindUnit; break;
    case 't': eat(); if (!parse_ident("rue")) return false; found = kKindTrue; break;
    case 'f': eat(); if (!parse_ident("alse")) return false; found = kKindFalse; break;
    case '[': found = kKindSequence; break;
    case '{': found = kKindMap; break;
    case '"': {
      eat();
      std::string text;
      if (!parse_string(text)) return false;
      found = kind_string(text);
      break;
    }
    default: {
      Number n;
      if (c == '-') {
        eat();
        if (!parse_integer(false, n)) return false;
      } else if (is_digit(c)) {
        if (!parse_integer(true, n)) return false;
      } else {
        return fail_peek(SyntaxError::kExpectedSomeValue);
      }
      found = n.kind_text();
    }
  }
  fail_unplaced(invalid_type_message(found, expected));
  fix_position();
  return false;
}

// --- Containers ------------------------------------------------------------------

int Reader::next_element(bool& first) {
  int c = skip_whitespace();
  if (c == ']') return 0;
  if (c == ',' && !first) {
    eat();
    c = skip_whitespace();
  } else if (c == kEof) {
    fail_peek(SyntaxError::kEofWhileParsingList);
    return -1;
  } else if (first) {
    first = false;
  } else {
    fail_peek(SyntaxError::kExpectedListCommaOrEnd);
    return -1;
  }
  if (c == ']') {
    fail_peek(SyntaxError::kTrailingComma);
    return -1;
  }
  if (c == kEof) {
    fail_peek(SyntaxError::kEofWhileParsingValue);
    return -1;
  }
  return 1;
}

int Reader::next_key(bool& first, std::string& key) {
  int c = skip_whitespace();
  if (c == '}') return 0;
  if (c == ',' && !first) {
    eat();
    c = skip_whitespace();
  } else if (c == kEof) {
    fail_peek(SyntaxError::kEofWhileParsingObject);
    return -1;
  } else if (first) {
    first = false;
  } else {
    fail_peek(SyntaxError::kExpectedObjectCommaOrEnd);
    return -1;
  }
  if (c == '"') {
    eat();
    return parse_string(key) ? 1 : -1;
  }
  if (c == '}') {
    fail_peek(SyntaxError::kTrailingComma);
  } else if (c == kEof) {
    fail_peek(SyntaxError::kEofWhileParsingValue);
  } else {
    fail_peek(SyntaxError::kKeyMustBeAString);
  }
  return -1;
}

bool Reader::parse_colon() {
  int c = skip_whitespace();
  if (c == ':') {
    eat();
    return true;
  }
  return fail_peek(c == kEof ? SyntaxError::kEofWhileParsingObject : SyntaxError::kExpectedColon);
}

bool Reader::end_seq() {
  int c = skip_whitespace();
  if (c == ']') {
    eat();
    return true;
  }
  if (c == ',') {
    eat();
    return fail_peek(skip_whitespace() == ']' ? SyntaxError::kTrailingComma
                                              : SyntaxError::kTrailingCharacters);
  }
  return fail_peek(c == kEof ? SyntaxError::kEofWhileParsingList
                             : SyntaxError::kTrailingCharacters);
}

bool Reader::end_map() {
  int c = skip_whitespace();
  if (c == '}') {
    eat();
    return true;
  }
  if (c == ',') return fail_peek(SyntaxError::kTrailingComma);
  return fail_peek(c == kEof ? SyntaxError::kEofWhileParsingObject
                             : SyntaxError::kTrailingCharacters);
}

void Reader::unwind_seq() {
  int c = skip_whitespace();
  if (c == ']') {
    eat();
  } else if (c == ',') {
    eat();
    skip_whitespace();
  }
}

void Reader::unwind_map() {
  if (skip_whitespace() == '}') eat();
}

bool Reader::finish() {
  if (skip_whitespace() != kEof) return fail_peek(SyntaxError::kTrailingCharacters);
  return true;
}

}  // namespace vordaopt::json
