#include "json/errors.h"

#include <cstdio>

#include "float_text.h"

namespace vordaopt::json {

std::string_view syntax_message(SyntaxError code) {
  switch (code) {
    case SyntaxError::kEofWhileParsingList: return "EOF while parsing a list";
    case SyntaxError::kEofWhileParsingObject: return "EOF while parsing an object";
    case SyntaxError::kEofWhileParsingString: return "EOF while parsing a string";
    case SyntaxError::kEofWhileParsingValue: return "EOF while parsing a value";
    case SyntaxError::kExpectedColon: return "expected `:`";
    case SyntaxError::kExpectedListCommaOrEnd: return "expected `,` or `]`";
    case SyntaxError::kExpectedObjectCommaOrEnd: return "expected `,` or `}`";
    case SyntaxError::kExpectedSomeIdent: return "expected ident";
    case SyntaxError::kExpectedSomeValue: return "expected value";
    case SyntaxError::kExpectedDoubleQuote: return "expected `\"`";
    case SyntaxError::kInvalidEscape: return "invalid escape";
    case SyntaxError::kInvalidNumber: return "invalid number";
    case SyntaxError::kNumberOutOfRange: return "number out of range";
    case SyntaxError::kInvalidUnicodeCodePoint: return "invalid unicode code point";
    case SyntaxError::kControlCharacterWhileParsingString:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case SyntaxError::kKeyMustBeAString: return "key must be a string";
    case SyntaxError::kLoneLeadingSurrogateInHexEscape:
      return "lone leading surrogate in hex escape";
    case SyntaxError::kTrailingComma: return "trailing comma";
    case SyntaxError::kTrailingCharacters: return "trailing characters";
    case SyntaxError::kUnexpectedEndOfHexEscape: return "unexpected end of hex escape";
  }
  return "unknown error";
}

std::string missing_field_message(std::string_view field) {
  return "missing field `" + std::string(field) + "`";
}

std::string duplicate_field_message(std::string_view field) {
  return "duplicate field `" + std::string(field) + "`";
}

std::string invalid_length_message(size_t present, std::string_view expected) {
  return "invalid length " + std::to_string(present) + ", expected " + std::string(expected);
}

std::string invalid_type_message(std::string_view found, std::string_view expected) {
  return "invalid type: " + std::string(found) + ", expected " + std::string(expected);
}

std::string invalid_value_message(std::string_view found, std::string_view expected) {
  return "invalid value: " + std::string(found) + ", expected " + std::string(expected);
}

std::string unknown_variant_message(std::string_view name) {
  return "unknown variant `" + std::string(name) +
         "`, expected one of `Linear`, `Log`, `Periodic`";
}

std::string kind_unsigned(unsigned long long value) {
  return "integer `" + std::to_string(value) + "`";
}

std::string kind_signed(long long value) {
  return "integer `" + std::to_string(value) + "`";
}

std::string kind_float(double value) {
  return "floating point `" + float_plain(value) + "`";
}

namespace {

// Decodes one UTF-8 sequence at text[i]; returns its code point and advances i.
// The text was validated when it was read, so every sequence is well formed.
char32_t decode_utf8(std::string_view text, size_t& i) {
  unsigned char c = static_cast<unsigned char>(text[i]);
  int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
  char32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
  ++i;
  for (int k = 0; k < extra && i < text.size(); ++k, ++i) {
    cp = (cp << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
  }
  return cp;
}

}  // namespace

// A double-quoted literal with the usual escapes; other control characters
// (C0, DEL and C1) are written as \u{hex}. Printable text is kept as it is.
std::string kind_string(std::string_view text) {
  std::string out = "string \"";
  for (size_t i = 0; i < text.size();) {
    size_t start = i;
    char32_t cp = decode_utf8(text, i);
    switch (cp) {
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case 0: out += "\\0"; break;
      default:
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
          out += buf;
        } else {
          out.append(text.substr(start, i - start));
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace vordaopt::json
