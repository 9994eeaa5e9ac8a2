// Reader: a pull reader over one UTF-8 JSON text.
//
// The reader hands out the text piece by piece (whitespace, strings, numbers,
// identifiers, skipped values) and keeps the first error it meets. Positions
// follow one rule: an error is reported at the last byte the reader had
// consumed, or, when it was found by looking ahead, at the byte looked at.
// Lines count from 1, columns count bytes from 1, and a column is 0 when
// nothing on its line has been consumed. Schema errors found by the caller
// (missing fields, wrong kinds) are raised "unplaced" and receive the position
// of the reader when the enclosing value ends (fix_position).
//
// Every operation that can fail returns false after recording the error; the
// caller then unwinds and finally takes the error with take_error(). Nothing
// recurses on the depth of the document: skipped values use an explicit stack.
//
// The reader borrows the text; the text must outlive it.
#ifndef VORDAOPT_CORE_JSON_READER_H_
#define VORDAOPT_CORE_JSON_READER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/errors.h"

namespace vordaopt::json {

// A number as written: a non-negative integer, a negative integer that fits in
// 64 bits, or anything else (fraction, exponent, -0, too large) as a double.
struct Number {
  enum class Kind { kUnsigned, kSigned, kFloat };
  Kind kind = Kind::kUnsigned;
  uint64_t u = 0;
  int64_t i = 0;
  double f = 0.0;

  double as_double() const {
    switch (kind) {
      case Kind::kUnsigned: return static_cast<double>(u);
      case Kind::kSigned: return static_cast<double>(i);
      case Kind::kFloat: return f;
    }
    return f;
  }
  std::string kind_text() const;  // "integer `7`" or "floating point `1.5`"
};

class Reader {
 public:
  static constexpr int kEof = -1;

  explicit Reader(std::string_view text) : data_(text.data()), len_(text.size()) {}
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // --- Bytes ---------------------------------------------------------------
  int peek() const {
    return index_ < len_ ? static_cast<unsigned char>(data_[index_]) : kEof;
  }
  void eat() { ++index_; }
  int next() {
    return index_ < len_ ? static_cast<unsigned char>(data_[index_++]) : kEof;
  }
  // Consumes whitespace (space, tab, line feed, carriage return) and returns
  // the next byte without consuming it.
  int skip_whitespace() {
    while (index_ < len_) {
      char c = data_[index_];
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<unsigned char>(c);
      ++index_;
    }
    return kEof;
  }

  // --- Errors (each returns false) ---------------------------------------
  bool fail(SyntaxError code);       // at the last consumed byte
  bool fail_peek(SyntaxError code);  // at the byte looked at
  bool fail_unplaced(std::string body);
  // Gives an unplaced error the current position; placed errors keep theirs.
  void fix_position();
  bool has_error() const { return has_error_; }
  // REQUIRES: has_error()
  ParseError take_error() const;

  // --- Values --------------------------------------------------------------
  // Reads the rest of an identifier whose first byte was consumed.
  bool parse_ident(const char* rest);
  // Reads a string whose opening quote was consumed; `out` receives the
  // decoded UTF-8 text.
  bool parse_string(std::string& out);
  // Reads an integer part and what follows. For a negative number the '-' has
  // been consumed and `positive` is false.
  bool parse_integer(bool positive, Number& out);
  // Skips one complete value of any type and depth.
  bool skip_value();
  // Reports the value ahead as an "invalid type" for `expected`, reading a
  // scalar to describe it and leaving arrays and objects unread.
  bool peek_invalid_type(std::string_view expected);

  // --- Containers (the opening bracket has been consumed) -----------------
  // Advances to the next element. Returns 1 when an element follows, 0 at the
  // closing bracket (not consumed), -1 on error.
  int next_element(bool& first);
  // Advances to the next key and reads it into `key`. Returns 1, 0 at the
  // closing brace (not consumed), or -1 on error.
  int next_key(bool& first, std::string& key);
  bool parse_colon();
  bool end_seq();
  bool end_map();
  // After a failure inside a container: consumes what the closing step would
  // have consumed, so the failure is placed where the container ends.
  void unwind_seq();
  void unwind_map();

  // Accepts only whitespace up to the end of the text.
  bool finish();

 private:
  bool parse_number_tail(bool positive, uint64_t significand, size_t start, Number& out);
  bool parse_decimal(size_t start, Number& out);
  bool parse_exponent(size_t start, Number& out);
  bool finish_float(size_t start, Number& out);
  bool parse_escape(std::string& out);
  bool decode_hex_escape(uint32_t& out);
  bool skip_string();
  bool skip_number();
  bool skip_escape();

  const char* data_;
  size_t len_;
  size_t index_ = 0;

  bool has_error_ = false;
  bool placed_ = false;
  size_t error_index_ = 0;
  std::string error_body_;
};

}  // namespace vordaopt::json

#endif  // VORDAOPT_CORE_JSON_READER_H_
