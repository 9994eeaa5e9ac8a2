// History: the solver's ordered, append-only list of evaluations.
//
// Records are stored column-wise so that a long history stays small: the
// identifiers, values and costs in three arrays, and every record's parameters
// as a run of (name id, value) pairs in two shared arrays, with each distinct
// parameter name stored once. A record with 10 parameters costs 32 + 10 * 12
// = 152 bytes. Records come back unchanged: their maps are rebuilt on demand.
#ifndef VORDAOPT_CORE_HISTORY_H_
#define VORDAOPT_CORE_HISTORY_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "artifact.h"
#include "named_map.h"

namespace vordaopt {

class History {
 public:
  // The id of a name that no record carries.
  static constexpr uint32_t kNoName = UINT32_MAX;

  History() = default;
  explicit History(const std::vector<EvalTrace>& records) { append_all(records); }

  // Appends the records in order: every one of them, or none when an
  // allocation fails (the history is then unchanged).
  void append_all(std::span<const EvalTrace> records);
  void append(const EvalTrace& record) { append_all({&record, 1}); }

  size_t size() const { return values_.size(); }
  bool empty() const { return values_.empty(); }
  uint64_t eval_id(size_t i) const { return eval_ids_[i]; }
  double value(size_t i) const { return values_[i]; }
  double cost(size_t i) const { return costs_[i]; }
  // The largest eval_id present. REQUIRES: !empty()
  uint64_t max_eval_id() const { return max_eval_id_; }

  // The id under which `name` is stored, or kNoName.
  uint32_t name_id(std::string_view name) const;
  // The value of parameter `id` in record i, or 0.0 when the record lacks it.
  double param(size_t i, uint32_t id) const {
    for (uint64_t e = param_begin_[i]; e < param_begin_[i + 1]; ++e) {
      if (param_ids_[e] == id) return param_values_[e];
    }
    return 0.0;
  }
  // Calls f(name id, value) for each parameter of record i, in stored order.
  template <class F>
  void for_each_param(size_t i, F&& f) const {
    for (uint64_t e = param_begin_[i]; e < param_begin_[i + 1]; ++e) f(param_ids_[e], param_values_[e]);
  }
  // How many distinct parameter names the records carry (ids are below it).
  size_t name_count() const { return names_.size(); }
  // Record i as it was appended.
  EvalTrace record(size_t i) const;

 private:
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };

  // Interns the names of `records` and makes room for them in every column.
  // Throws only with the history as it was.
  void prepare_append(std::span<const EvalTrace> records);

  std::vector<uint64_t> eval_ids_;
  std::vector<double> values_;
  std::vector<double> costs_;
  std::vector<uint64_t> param_begin_{0};  // record i owns entries [begin[i], begin[i+1])
  std::vector<uint32_t> param_ids_;
  std::vector<double> param_values_;
  std::vector<std::string> names_;
  std::unordered_map<std::string, uint32_t, NameHash, std::equal_to<>> ids_;
  uint64_t max_eval_id_ = 0;
};

}  // namespace vordaopt

#endif  // VORDAOPT_CORE_HISTORY_H_
