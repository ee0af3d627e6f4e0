#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace networking::remote_historian::v2 {

// A mapping from text keys to values that iterates in insertion order, with hashed look-up.
template <typename T> class OrderedMap {
public:
  using Entry = std::pair<std::string, T>;

  T *find(const std::string &key) {
    auto it = _index.find(key);
    return it == _index.end() ? nullptr : &_entries[it->second].second;
  }
  const T *find(const std::string &key) const {
    auto it = _index.find(key);
    return it == _index.end() ? nullptr : &_entries[it->second].second;
  }
  bool contains(const std::string &key) const { return _index.count(key) != 0; }

  // The value under key, inserted with `initial` first when absent.
  T &get_or_insert(const std::string &key, T initial) {
    auto [it, inserted] = _index.try_emplace(key, _entries.size());
    if (inserted)
      _entries.emplace_back(key, std::move(initial));
    return _entries[it->second].second;
  }
  void set(const std::string &key, T value) { get_or_insert(key, value) = std::move(value); }

  // Removes every key in keys, keeping the order of the others.
  void erase(const std::unordered_set<std::string> &keys) {
    if (keys.empty())
      return;
    std::vector<Entry> kept;
    kept.reserve(_entries.size());
    for (auto &e : _entries)
      if (!keys.count(e.first))
        kept.push_back(std::move(e));
    _entries = std::move(kept);
    _index.clear();
    for (std::size_t i = 0; i < _entries.size(); ++i)
      _index.emplace(_entries[i].first, i);
  }

  std::size_t size() const { return _entries.size(); }
  bool empty() const { return _entries.empty(); }
  auto begin() const { return _entries.begin(); }
  auto end() const { return _entries.end(); }

private:
  std::vector<Entry> _entries;
  std::unordered_map<std::string, std::size_t> _index;
};

} // namespace networking::remote_historian::v2
