#pragma once
// The field list of one inbound packet: the seven header entries, then the body
// entries by their keys, in packet order.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dorvek::gateway {

class PakketVelden {
 public:
  // An entry is "name=value" text whose name ends at its first "=": a name holding "="
  // gives the rest of it, with the "=", to the value.
  void Add(std::string name, std::string value);
  // The value of the first entry whose name equals name without regard to case;
  // the empty text when there is none.
  const std::string& Get(std::string_view name) const;
  // Replaces the value of the first entry with that name (appends one when absent).
  void Set(std::string_view name, std::string value);

  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }
  const std::vector<std::pair<std::string, std::string>>& entries() const { return entries_; }

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
};

}  // namespace dorvek::gateway
