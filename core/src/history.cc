#include "history.h"

#include <algorithm>

namespace vordaopt {
namespace {

// Makes room for `extra` more elements, growing geometrically so that many
// small appends stay amortised O(1).
template <class T>
void reserve_more(std::vector<T>& v, size_t extra) {
  size_t needed = v.size() + extra;
  if (needed > v.capacity()) v.reserve(std::max(needed, 2 * v.capacity()));
}

}  // namespace

void History::prepare_append(std::span<const EvalTrace> records) {
  size_t entries = 0;
  size_t old_names = names_.size();
  try {
    for (const EvalTrace& r : records) {
      entries += r.params.size();
      for (const auto& entry : r.params) {
        if (ids_.find(std::string_view(entry.first)) != ids_.end()) continue;
        names_.push_back(entry.first);
        ids_.emplace(entry.first, static_cast<uint32_t>(names_.size() - 1));
      }
    }
    reserve_more(eval_ids_, records.size());
    reserve_more(values_, records.size());
    reserve_more(costs_, records.size());
    reserve_more(param_begin_, records.size());
    reserve_more(param_ids_, entries);
    reserve_more(param_values_, entries);
  } catch (...) {
    // Forget the names interned for these records; reserved room is harmless.
    for (size_t i = old_names; i < names_.size(); ++i) ids_.erase(names_[i]);
    names_.resize(old_names);
    throw;
  }
}

void History::append_all(std::span<const EvalTrace> records) {
  prepare_append(records);
  // From here on nothing allocates: every push fits the room made above.
  for (const EvalTrace& record : records) {
    for (const auto& [name, value] : record.params) {
      param_ids_.push_back(ids_.find(std::string_view(name))->second);
      param_values_.push_back(value);
    }
    param_begin_.push_back(param_ids_.size());
    max_eval_id_ = empty() ? record.eval_id : std::max(max_eval_id_, record.eval_id);
    eval_ids_.push_back(record.eval_id);
    values_.push_back(record.value);
    costs_.push_back(record.cost);
  }
}

uint32_t History::name_id(std::string_view name) const {
  auto it = ids_.find(name);
  return it == ids_.end() ? kNoName : it->second;
}

EvalTrace History::record(size_t i) const {
  EvalTrace t;
  t.eval_id = eval_ids_[i];
  t.value = values_[i];
  t.cost = costs_[i];
  t.params.reserve(param_begin_[i + 1] - param_begin_[i]);
  for (uint64_t e = param_begin_[i]; e < param_begin_[i + 1]; ++e) {
    t.params.insert_or_assign(names_[param_ids_[e]], param_values_[e]);
  }
  return t;
}

}  // namespace vordaopt
