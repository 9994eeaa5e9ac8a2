// Conformance: every row of the shared JSON document vectors must hold.
//
// Each row names a document kind, the document as a JSON string literal, and
// either "OK" with a canonical dump of what was read (sorted keys, floats in
// their compact form, defaults filled in) or "ERR" with the exact message.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "artifact.h"
#include "config.h"
#include "float_text.h"
#include "json/reader.h"

namespace vordaopt {
namespace {

// The dump's float form: positional from 1e-5 on, exponent form outside.
std::string num(double v) {
  double a = std::fabs(v);
  if (a != 0.0 && a >= 1e-5 && a < 1e-4) return float_plain(v);
  return float_repr(v);
}

// JSON string escapes, plus \u007f and the two Unicode line separators, which
// the dump writes escaped.
std::string quote(const std::string& s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == 0x7f) {
      out += "\\u007f";
      continue;
    }
    if (c == 0xE2 && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x80 &&
        (static_cast<unsigned char>(s[i + 2]) == 0xA8 || static_cast<unsigned char>(s[i + 2]) == 0xA9)) {
      out += static_cast<unsigned char>(s[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
      i += 2;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string dump(const NamedMap<double>& m) {
  std::string out = "{";
  for (const auto& [k, v] : m) {
    if (out.size() > 1) out += ",";
    out += quote(k) + ":" + num(v);
  }
  return out + "}";
}

std::string dump(const SolverConfig& c) {
  std::string out = "{\"seed\":" + std::to_string(c.seed) +
                    ",\"budget\":" + std::to_string(c.budget) + ",\"bounds\":{";
  bool first = true;
  for (const auto& [k, d] : c.bounds) {
    if (!first) out += ",";
    first = false;
    out += quote(k) + ":{\"min\":" + num(d.min) + ",\"max\":" + num(d.max) +
           ",\"scale\":\"" + scale_name(d.scale) + "\"}";
  }
  out += "},\"probe_ratio\":" + num(c.probe_ratio) + ",\"strategy_params\":";
  out += c.strategy_params ? dump(*c.strategy_params) : "null";
  return out + "}";
}

std::string dump(const std::vector<EvalTrace>& v) {
  std::string out = "[";
  for (const auto& t : v) {
    if (out.size() > 1) out += ",";
    out += "{\"eval_id\":" + std::to_string(t.eval_id) + ",\"params\":" + dump(t.params) +
           ",\"value\":" + num(t.value) + ",\"cost\":" + num(t.cost) + "}";
  }
  return out + "]";
}

std::string dump(const std::vector<SeedPoint>& v) {
  std::string out = "[";
  for (const auto& p : v) {
    if (out.size() > 1) out += ",";
    out += "{\"params\":" + dump(p.params) + ",\"value\":" + num(p.value) +
           ",\"cost\":" + num(p.cost) + "}";
  }
  return out + "]";
}

template <class T>
std::string outcome(const json::ParseResult<T>& r) {
  return r.ok() ? "OK " + dump(r.value()) : "ERR " + r.error_message();
}

std::string decode_literal(const std::string& literal) {
  json::Reader r(literal);
  std::string out;
  EXPECT_EQ(r.next(), '"');
  EXPECT_TRUE(r.parse_string(out)) << literal;
  return out;
}

TEST(Vectors, EveryRowHolds) {
  std::string path = std::string(VORDAOPT_VECTORS_DIR) + "/json_documents.tsv";
  std::ifstream in(path);
  ASSERT_TRUE(in) << "cannot open " << path;
  std::string line;
  std::getline(in, line);  // header
  size_t rows = 0, failures = 0;
  while (std::getline(in, line)) {
    size_t t1 = line.find('\t');
    size_t t2 = line.find('\t', t1 + 1);
    ASSERT_NE(t2, std::string::npos) << line;
    std::string kind = line.substr(0, t1);
    std::string text = decode_literal(line.substr(t1 + 1, t2 - t1 - 1));
    std::string expected = line.substr(t2 + 1);
    std::string got;
    if (kind == "config") {
      got = outcome(parse_solver_config(text));
    } else if (kind == "results") {
      got = outcome(parse_results(text));
    } else {
      ASSERT_EQ(kind, "seed");
      got = outcome(parse_seed_points(text));
    }
    ++rows;
    if (got != expected && ++failures <= 40) {
      ADD_FAILURE() << kind << " " << quote(text) << "\n  expected: " << expected
                    << "\n  got:      " << got;
    }
  }
  EXPECT_EQ(failures, 0u) << "of " << rows << " rows";
  EXPECT_GT(rows, 5000u);
}

}  // namespace
}  // namespace vordaopt
