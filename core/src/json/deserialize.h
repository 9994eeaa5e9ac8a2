// Typed reading on top of Reader: unsigned and float fields, maps, sequences
// and records given either as an object or as a positional array.
//
// Each function reads one value at the reader's position and returns false on
// failure (the error stays in the reader). Schema errors are placed at the
// position of the reader when the value that contains them ends.
#ifndef VORDAOPT_CORE_JSON_DESERIALIZE_H_
#define VORDAOPT_CORE_JSON_DESERIALIZE_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/reader.h"

namespace vordaopt::json {

// A JSON integer literal from 0 to 2^64 - 1.
bool read_u64(Reader& r, uint64_t& out);
// Any JSON number, converted to the nearest double.
bool read_f64(Reader& r, double& out);

// A JSON array; read_element(Reader&) reads one element.
template <class ReadElement>
bool read_seq(Reader& r, ReadElement&& read_element) {
  int c = r.skip_whitespace();
  if (c == Reader::kEof) return r.fail_peek(SyntaxError::kEofWhileParsingValue);
  if (c != '[') return r.peek_invalid_type("a sequence");
  r.eat();
  bool first = true;
  for (;;) {
    int st = r.next_element(first);
    if (st == 0) break;
    if (st < 0 || !read_element(r)) {
      r.unwind_seq();
      r.fix_position();
      return false;
    }
  }
  return r.end_seq();
}

// A JSON object with string keys; read_entry(Reader&, std::string&& key) reads
// the value that follows the colon.
template <class ReadEntry>
bool read_map(Reader& r, ReadEntry&& read_entry) {
  int c = r.skip_whitespace();
  if (c == Reader::kEof) return r.fail_peek(SyntaxError::kEofWhileParsingValue);
  if (c != '{') return r.peek_invalid_type("a map");
  r.eat();
  bool first = true;
  std::string key;
  for (;;) {
    int st = r.next_key(first, key);
    if (st == 0) break;
    if (st < 0 || !r.parse_colon() || !read_entry(r, std::move(key))) {
      r.unwind_map();
      r.fix_position();
      return false;
    }
  }
  return r.end_map();
}

// A record with N fields in declaration order, the first `required` of which
// must be present. `name` is the record's expectation text ("struct Domain")
// and `with_length` the array-form expectation ("struct Domain with 3
// elements"). read_field(Reader&, size_t index) reads one field's value.
// Object form: unknown keys are skipped, a repeated known key is an error, and
// the first missing required field is reported at the closing brace. Array
// form: fields by position; missing optional fields keep their defaults.
template <size_t N, class ReadField>
bool read_record(Reader& r, std::string_view name, std::string_view with_length,
                 const std::array<std::string_view, N>& fields, size_t required,
                 ReadField&& read_field) {
  int c = r.skip_whitespace();
  if (c == Reader::kEof) return r.fail_peek(SyntaxError::kEofWhileParsingValue);
  if (c == '[') {
    r.eat();
    bool first = true;
    bool ok = true;
    for (size_t i = 0; i < N && ok; ++i) {
      int st = r.next_element(first);
      if (st == 0) {
        if (i < required) ok = r.fail_unplaced(invalid_length_message(i, with_length));
        break;
      }
      ok = st > 0 && read_field(r, i);
    }
    if (!ok) {
      r.unwind_seq();
      r.fix_position();
      return false;
    }
    return r.end_seq();
  }
  if (c != '{') return r.peek_invalid_type(name);
  r.eat();
  bool first = true;
  bool ok = true;
  std::array<bool, N> seen{};
  std::string key;
  while (ok) {
    int st = r.next_key(first, key);
    if (st < 0) {
      ok = false;
      break;
    }
    if (st == 0) {
      for (size_t i = 0; i < required; ++i) {
        if (!seen[i]) {
          ok = r.fail_unplaced(missing_field_message(fields[i]));
          break;
        }
      }
      break;
    }
    size_t index = N;
    for (size_t i = 0; i < N; ++i) {
      if (key == fields[i]) {
        index = i;
        break;
      }
    }
    if (index == N) {
      ok = r.parse_colon() && r.skip_value();
    } else if (seen[index]) {
      ok = r.fail_unplaced(duplicate_field_message(fields[index]));
    } else {
      seen[index] = true;
      ok = r.parse_colon() && read_field(r, index);
    }
  }
  if (!ok) {
    r.unwind_map();
    r.fix_position();
    return false;
  }
  return r.end_map();
}

}  // namespace vordaopt::json

#endif  // VORDAOPT_CORE_JSON_DESERIALIZE_H_
