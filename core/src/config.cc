#include "config.h"

#include <array>
#include <string>

#include "json/deserialize.h"
#include "json/reader.h"

namespace vordaopt {

using json::Reader;
using json::SyntaxError;

const char* scale_name(Scale scale) {
  switch (scale) {
    case Scale::kLinear: return "Linear";
    case Scale::kLog: return "Log";
    case Scale::kPeriodic: return "Periodic";
  }
  return "Linear";
}

namespace {

// Reads a variant name in quotes (the opening quote ahead of the reader).
bool read_variant_name(Reader& r, Scale& out) {
  int c = r.skip_whitespace();
  if (c == Reader::kEof) return r.fail_peek(SyntaxError::kEofWhileParsingValue);
  if (c != '"') return r.peek_invalid_type("variant identifier");
  r.eat();
  std::string name;
  if (!r.parse_string(name)) return false;
  if (name == "Linear") {
    out = Scale::kLinear;
  } else if (name == "Log") {
    out = Scale::kLog;
  } else if (name == "Periodic") {
    out = Scale::kPeriodic;
  } else {
    r.fail_unplaced(json::unknown_variant_message(name));
    r.fix_position();
    return false;
  }
  return true;
}

// A Scale is "Log" or {"Log": null}.
bool read_scale(Reader& r, Scale& out) {
  int c = r.skip_whitespace();
  if (c == '"') return read_variant_name(r, out);
  if (c == Reader::kEof) return r.fail_peek(SyntaxError::kEofWhileParsingValue);
  if (c != '{') return r.fail_peek(SyntaxError::kExpectedSomeValue);
  r.eat();
  if (!read_variant_name(r, out) || !r.parse_colon()) return false;
  // The variant carries no data: its value must be null.
  c = r.skip_whitespace();
  if (c == Reader::kEof) return r.fail_peek(SyntaxError::kEofWhileParsingValue);
  if (c != 'n') return r.peek_invalid_type("unit");
  r.eat();
  if (!r.parse_ident("ull")) return false;
  c = r.skip_whitespace();
  if (c == '}') {
    r.eat();
    return true;
  }
  return r.fail(c == Reader::kEof ? SyntaxError::kEofWhileParsingObject
                                  : SyntaxError::kExpectedSomeValue);
}

constexpr std::array<std::string_view, 3> kDomainFields = {"min", "max", "scale"};
constexpr std::array<std::string_view, 5> kConfigFields = {"seed", "budget", "bounds",
                                                          "probe_ratio", "strategy_params"};

bool read_domain(Reader& r, Domain& d) {
  return json::read_record(r, "struct Domain", "struct Domain with 3 elements", kDomainFields, 2,
                           [&d](Reader& r, size_t i) {
                             switch (i) {
                               case 0: return json::read_f64(r, d.min);
                               case 1: return json::read_f64(r, d.max);
                               default: return read_scale(r, d.scale);
                             }
                           });
}

bool read_f64_map(Reader& r, NamedMap<double>& out) {
  return json::read_map(r, [&out](Reader& r, std::string&& key) {
    double v;
    if (!json::read_f64(r, v)) return false;
    out.insert_or_assign(std::move(key), v);
    return true;
  });
}

bool read_strategy_params(Reader& r, std::optional<NamedMap<double>>& out) {
  if (r.skip_whitespace() == 'n') {
    r.eat();
    if (!r.parse_ident("ull")) return false;
    out.reset();
    return true;
  }
  out.emplace();
  return read_f64_map(r, *out);
}

bool read_config(Reader& r, SolverConfig& cfg) {
  return json::read_record(
      r, "struct SolverConfig", "struct SolverConfig with 5 elements", kConfigFields, 3,
      [&cfg](Reader& r, size_t i) {
        switch (i) {
          case 0: return json::read_u64(r, cfg.seed);
          case 1: return json::read_u64(r, cfg.budget);
          case 2:
            return json::read_map(r, [&cfg](Reader& r, std::string&& name) {
              Domain d;
              if (!read_domain(r, d)) return false;
              cfg.bounds.insert_or_assign(std::move(name), d);
              return true;
            });
          case 3: return json::read_f64(r, cfg.probe_ratio);
          default: return read_strategy_params(r, cfg.strategy_params);
        }
      });
}

}  // namespace

json::ParseResult<SolverConfig> parse_solver_config(std::string_view text) {
  Reader r(text);
  SolverConfig cfg;
  if (!read_config(r, cfg) || !r.finish()) return r.take_error();
  return cfg;
}

}  // namespace vordaopt
