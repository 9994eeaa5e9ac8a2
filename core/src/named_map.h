// NamedMap<V>: a small map from parameter name to V, kept sorted.
//
// Entries are unique and ordered ascending by the byte-wise comparison of their
// UTF-8 names (a proper prefix first), so iteration is deterministic in every
// process: the order in which the probe, the strategies and the Python layer
// visit parameters. Inserting a name that is present replaces its value, which
// is how a later duplicate in a JSON object wins. Lookups are binary searches;
// parameter maps are short, so a flat vector beats a node-based map.
#ifndef VORDAOPT_CORE_NAMED_MAP_H_
#define VORDAOPT_CORE_NAMED_MAP_H_

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vordaopt {

template <class V>
class NamedMap {
 public:
  using Entry = std::pair<std::string, V>;
  using const_iterator = typename std::vector<Entry>::const_iterator;

  NamedMap() = default;
  NamedMap(std::initializer_list<Entry> entries) {
    for (const Entry& e : entries) insert_or_assign(e.first, e.second);
  }

  // Inserts name -> value, replacing the value of an existing entry.
  void insert_or_assign(std::string name, V value) {
    if (entries_.empty() || entries_.back().first < name) {
      entries_.emplace_back(std::move(name), std::move(value));
      return;
    }
    auto it = lower_bound(name);
    if (it != entries_.end() && it->first == name) {
      it->second = std::move(value);
    } else {
      entries_.emplace(it, std::move(name), std::move(value));
    }
  }

  // Returns the value of `name`, or nullptr when absent.
  const V* find(std::string_view name) const {
    auto it = std::lower_bound(
        entries_.begin(), entries_.end(), name,
        [](const Entry& e, std::string_view n) { return std::string_view(e.first) < n; });
    if (it != entries_.end() && it->first == name) return &it->second;
    return nullptr;
  }

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void reserve(size_t n) { entries_.reserve(n); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  const Entry& operator[](size_t i) const { return entries_[i]; }

  friend bool operator==(const NamedMap& a, const NamedMap& b) {
    return a.entries_ == b.entries_;
  }

 private:
  typename std::vector<Entry>::iterator lower_bound(const std::string& name) {
    return std::lower_bound(entries_.begin(), entries_.end(), name,
                            [](const Entry& e, const std::string& n) { return e.first < n; });
  }

  std::vector<Entry> entries_;
};

// The form of every candidate and of the `params` of every record.
using ParamMap = NamedMap<double>;

}  // namespace vordaopt

#endif  // VORDAOPT_CORE_NAMED_MAP_H_
