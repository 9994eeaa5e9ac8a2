// Message tables for the reader: (document, exact message), grouped by kind of
// failure. Positions follow the rules of the reader: the last byte consumed,
// or the byte looked at, with column 0 when nothing on the line was consumed.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "artifact.h"
#include "config.h"

namespace vordaopt {
namespace {

using Table = std::vector<std::pair<std::string, std::string>>;

std::string config_error(const std::string& text) {
  auto r = parse_solver_config(text);
  return r.ok() ? "OK" : r.error_message();
}

std::string results_error(const std::string& text) {
  auto r = parse_results(text);
  return r.ok() ? "OK" : r.error_message();
}

const std::string kHead = R"({"seed": 1, "budget": 2, "bounds": {"x": )";

void expect_table(const Table& rows, std::string (*parse)(const std::string&)) {
  for (const auto& [text, message] : rows) EXPECT_EQ(parse(text), message) << text;
}

TEST(ReaderMessages, Truncated) {
  expect_table({{"", "EOF while parsing a value at line 1 column 0"},
                {"   ", "EOF while parsing a value at line 1 column 3"},
                {"[1, 2", "EOF while parsing a list at line 1 column 5"},
                {R"({"seed": 1)", "EOF while parsing an object at line 1 column 10"},
                {R"({"seed)", "EOF while parsing a string at line 1 column 6"},
                {R"({"seed": 1, "x": "\u12)", "EOF while parsing a string at line 1 column 22"},
                {R"({"seed": 1, "x": {"a": [1, {)", "EOF while parsing an object at line 1 column 28"},
                {R"({"seed": 1.)", "EOF while parsing a value at line 1 column 11"},
                {R"({"seed": 1e)", "EOF while parsing a value at line 1 column 11"},
                {R"({"seed": -)", "EOF while parsing a value at line 1 column 10"},
                {R"({"seed": 1, "x": -)", "invalid number at line 1 column 18"},
                {R"({"seed": 1, "x": 1.)", "invalid number at line 1 column 19"},
                {R"({"seed": tr)", "EOF while parsing a value at line 1 column 11"}},
               config_error);
}

TEST(ReaderMessages, Unexpected) {
  expect_table({{"'x'", "expected value at line 1 column 1"},
                {R"({"seed" 1})", "expected `:` at line 1 column 9"},
                {R"({"seed": 1 "budget": 2})", "expected `,` or `}` at line 1 column 12"},
                {"[1 2]", "expected `,` or `]` at line 1 column 4"},
                {R"({"seed": nul})", "expected ident at line 1 column 13"},
                {R"({1: 2})", "key must be a string at line 1 column 2"},
                {R"({"seed": 1,})", "trailing comma at line 1 column 12"},
                {"[1, 2, {}, 0.5, null, ]", "trailing comma at line 1 column 23"},
                {R"({"seed": 01})", "invalid number at line 1 column 11"},
                {R"({"seed": 1e999})", "number out of range at line 1 column 14"},
                {R"({"seed": 1, "z": 1e999, "budget": 2, "bounds": {}})", "OK"}},
               config_error);
}

TEST(ReaderMessages, Strings) {
  expect_table(
      {{"{\"se\x01\": 1}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 5"},
       {"{\"se\nd\": 1}", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
       {R"({"\q": 1})", "invalid escape at line 1 column 4"},
       {R"({"\u12G4": 1})", "invalid escape at line 1 column 7"},
       {R"({"\udc00": 1})", "lone leading surrogate in hex escape at line 1 column 8"},
       {R"({"\ud800\u0041": 1})", "lone leading surrogate in hex escape at line 1 column 14"},
       {R"({"\ud800x": 1})", "unexpected end of hex escape at line 1 column 9"},
       {R"({"\ud800\x": 1})", "unexpected end of hex escape at line 1 column 10"},
       {"{\"\xff\": 1}", "invalid unicode code point at line 1 column 4"},
       {"{\"\xed\xa0\x80\": 1}", "invalid unicode code point at line 1 column 6"}},
      config_error);
}

TEST(ReaderMessages, ExtraData) {
  expect_table({{R"({"seed": 1, "budget": 2, "bounds": {}} x)", "trailing characters at line 1 column 40"},
                {"{\"seed\": 1, \"budget\": 2, \"bounds\": {}}\n\n  ]", "trailing characters at line 3 column 3"},
                {"[1, 2, {}, 0.5, null, 7]", "trailing characters at line 1 column 23"},
                {"[1, 2, {}, 0.5, null]\r\n\t ", "OK"}},
               config_error);
}

TEST(ReaderMessages, Schema) {
  expect_table(
      {{R"({"seed": 1})", "missing field `budget` at line 1 column 11"},
       {R"({"seed": 1, "seed": 2})", "duplicate field `seed` at line 1 column 18"},
       {R"({"seed": 1, "seed" : 2})", "duplicate field `seed` at line 1 column 19"},
       {"[7, 50]", "invalid length 2, expected struct SolverConfig with 5 elements at line 1 column 7"},
       {R"({"seed": -5})", "invalid value: integer `-5`, expected u64 at line 1 column 11"},
       {R"({"seed": 1e2})", "invalid type: floating point `100.0`, expected u64 at line 1 column 12"},
       {R"({"seed": -0})", "invalid type: floating point `-0.0`, expected u64 at line 1 column 11"},
       {R"({"seed": 18446744073709551616})", "invalid type: floating point `18446744073709552000.0`, expected u64 at line 1 column 29"},
       {R"({"seed": "a\tb"})", "invalid type: string \"a\\tb\", expected u64 at line 1 column 15"},
       {R"({"seed": [1]})", "invalid type: sequence, expected u64 at line 1 column 9"},
       {"7", "invalid type: integer `7`, expected struct SolverConfig at line 1 column 1"},
       {kHead + R"("x"}})", "invalid type: string \"x\", expected struct Domain at line 1 column 44"},
       {kHead + R"([0, 1, "log"]}})", "unknown variant `log`, expected one of `Linear`, `Log`, `Periodic` at line 1 column 53"},
       {kHead + R"([0, 1, {"Log": 1}]}})", "invalid type: integer `1`, expected unit at line 1 column 57"},
       {kHead + R"([0, 1, {"Log": null, "x": 1}]}})", "expected value at line 1 column 60"},
       {kHead + R"([0, 1, 5]}})", "expected value at line 1 column 49"},
       {kHead + R"([0]}})", "invalid length 1, expected struct Domain with 3 elements at line 1 column 44"}},
      config_error);
}

TEST(ReaderMessages, ResultsDocuments) {
  expect_table(
      {{"[]", "OK"},
       {R"({"eval_id": 1})", "invalid type: map, expected a sequence at line 1 column 0"},
       {R"([{"eval_id": 1, "params": {}, "value": null, "cost": 1}])",
        "invalid type: unit value, expected f64 at line 1 column 43"},
       {R"([[1, {"x": 0.5}, 2.0]])", "invalid length 3, expected struct EvalTrace with 4 elements at line 1 column 21"},
       {R"([[1, {"x": 0.5}, 2.0, 1, 5]])", "trailing characters at line 1 column 26"},
       {R"([{"eval_id": 1, "params": [], "value": 1, "cost": 1}])",
        "invalid type: sequence, expected a map at line 1 column 26"}},
      results_error);
}

TEST(ReaderSkipping, DeepUnknownValuesUseNoStack) {
  // 200,000 levels of an unknown key's value: skipped iteratively.
  const size_t depth = 200000;
  std::string deep = R"({"seed": 1, "budget": 2, "bounds": {}, "junk": )";
  for (size_t i = 0; i < depth; ++i) deep += (i % 2) ? "{\"k\":" : "[";
  deep += "1";
  for (size_t i = depth; i-- > 0;) deep += (i % 2) ? "}" : "]";
  deep += "}";
  EXPECT_EQ(config_error(deep), "OK");

  // The same nesting left open ends in the error of the innermost container.
  std::string open = R"({"seed": 1, "junk": )" + std::string(depth, '[');
  EXPECT_EQ(config_error(open), "EOF while parsing a list at line 1 column " +
                                    std::to_string(open.size()));
}

}  // namespace
}  // namespace vordaopt
