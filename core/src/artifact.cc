#include "artifact.h"

#include <array>
#include <string>

#include "interrupt.h"
#include "json/deserialize.h"
#include "json/reader.h"

namespace vordaopt {

using json::Reader;

namespace {

constexpr std::array<std::string_view, 4> kTraceFields = {"eval_id", "params", "value", "cost"};
constexpr std::array<std::string_view, 3> kSeedFields = {"params", "value", "cost"};

bool read_params(Reader& r, ParamMap& out) {
  return json::read_map(r, [&out](Reader& r, std::string&& key) {
    double v;
    if (!json::read_f64(r, v)) return false;
    out.insert_or_assign(std::move(key), v);
    return true;
  });
}

bool read_trace(Reader& r, EvalTrace& t) {
  return json::read_record(r, "struct EvalTrace", "struct EvalTrace with 4 elements",
                           kTraceFields, 4, [&t](Reader& r, size_t i) {
                             switch (i) {
                               case 0: return json::read_u64(r, t.eval_id);
                               case 1: return read_params(r, t.params);
                               case 2: return json::read_f64(r, t.value);
                               default: return json::read_f64(r, t.cost);
                             }
                           });
}

bool read_seed_point(Reader& r, SeedPoint& p) {
  return json::read_record(r, "struct SeedPoint", "struct SeedPoint with 3 elements",
                           kSeedFields, 3, [&p](Reader& r, size_t i) {
                             switch (i) {
                               case 0: return read_params(r, p.params);
                               case 1: return json::read_f64(r, p.value);
                               default: return json::read_f64(r, p.cost);
                             }
                           });
}

template <class Record, class ReadRecord>
json::ParseResult<std::vector<Record>> parse_list(std::string_view text, ReadRecord read_one) {
  Reader r(text);
  std::vector<Record> records;
  InterruptCheck interrupt;
  bool ok = json::read_seq(r, [&](Reader& r) {
    Record rec;
    if (!read_one(r, rec)) return false;
    interrupt.tick(1 + rec.params.size());
    records.push_back(std::move(rec));
    return true;
  });
  if (!ok || !r.finish()) return r.take_error();
  return records;
}

}  // namespace

json::ParseResult<std::vector<EvalTrace>> parse_results(std::string_view text) {
  return parse_list<EvalTrace>(text, read_trace);
}

json::ParseResult<std::vector<SeedPoint>> parse_seed_points(std::string_view text) {
  return parse_list<SeedPoint>(text, read_seed_point);
}

}  // namespace vordaopt
