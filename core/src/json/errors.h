// Error codes and message texts of the JSON documents.
//
// Every text a rejected document can produce is built here, so the wording is
// reviewed in one place. A message is a body followed by the position suffix
// " at line L column C" (see Reader for how L and C are chosen).
#ifndef VORDAOPT_CORE_JSON_ERRORS_H_
#define VORDAOPT_CORE_JSON_ERRORS_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace vordaopt::json {

// Syntax errors found by the reader itself.
enum class SyntaxError {
  kEofWhileParsingList,
  kEofWhileParsingObject,
  kEofWhileParsingString,
  kEofWhileParsingValue,
  kExpectedColon,
  kExpectedListCommaOrEnd,
  kExpectedObjectCommaOrEnd,
  kExpectedSomeIdent,
  kExpectedSomeValue,
  kExpectedDoubleQuote,
  kInvalidEscape,
  kInvalidNumber,
  kNumberOutOfRange,
  kInvalidUnicodeCodePoint,
  kControlCharacterWhileParsingString,
  kKeyMustBeAString,
  kLoneLeadingSurrogateInHexEscape,
  kTrailingComma,
  kTrailingCharacters,
  kUnexpectedEndOfHexEscape,
};

// The message body of a syntax error.
std::string_view syntax_message(SyntaxError code);

// Schema message bodies. `found` is a kind of value as described by the
// kind_* helpers below; `expected` names what the position accepts.
std::string missing_field_message(std::string_view field);
std::string duplicate_field_message(std::string_view field);
std::string invalid_length_message(size_t present, std::string_view expected);
std::string invalid_type_message(std::string_view found, std::string_view expected);
std::string invalid_value_message(std::string_view found, std::string_view expected);
std::string unknown_variant_message(std::string_view name);

// Kinds of value found, as they appear in "invalid type" and "invalid value".
std::string kind_unsigned(unsigned long long value);  // "integer `7`"
std::string kind_signed(long long value);             // "integer `-5`"
std::string kind_float(double value);                 // "floating point `100.0`"
std::string kind_string(std::string_view text);       // "string \"a\\nb\""
inline constexpr std::string_view kKindUnit = "unit value";
inline constexpr std::string_view kKindTrue = "boolean `true`";
inline constexpr std::string_view kKindFalse = "boolean `false`";
inline constexpr std::string_view kKindSequence = "sequence";
inline constexpr std::string_view kKindMap = "map";

// A rejected document: the full message, position suffix included.
struct ParseError {
  std::string message;
};

// Either a parsed value or the error that rejected the document.
template <class T>
class [[nodiscard]] ParseResult {
 public:
  ParseResult(T value) : state_(std::move(value)) {}            // NOLINT: implicit
  ParseResult(ParseError error) : state_(std::move(error)) {}   // NOLINT: implicit

  bool ok() const { return state_.index() == 0; }
  // REQUIRES: ok()
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  // REQUIRES: !ok()
  const std::string& error_message() const { return std::get<1>(state_).message; }

 private:
  std::variant<T, ParseError> state_;
};

}  // namespace vordaopt::json

#endif  // VORDAOPT_CORE_JSON_ERRORS_H_
