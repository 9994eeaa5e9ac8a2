#include "history.h"

#include <algorithm>

namespace vordaopt {

void History::append(const EvalTrace& record) {
  for (const auto& [name, value] : record.params) {
    auto it = ids_.find(std::string_view(name));
    uint32_t id;
    if (it != ids_.end()) {
      id = it->second;
    } else {
      id = static_cast<uint32_t>(names_.size());
      names_.push_back(name);
      ids_.emplace(name, id);
    }
    param_ids_.push_back(id);
    param_values_.push_back(value);
  }
  param_begin_.push_back(param_ids_.size());
  max_eval_id_ = empty() ? record.eval_id : std::max(max_eval_id_, record.eval_id);
  eval_ids_.push_back(record.eval_id);
  values_.push_back(record.value);
  costs_.push_back(record.cost);
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
