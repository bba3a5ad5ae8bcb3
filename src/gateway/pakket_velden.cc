#include "gateway/pakket_velden.h"

#include "core/ascii.h"

namespace dorvek::gateway {
namespace {

// Names are ASCII (header names and three-digit keys), so an ASCII fold suffices.
using core::EqualsNoCase;

const std::string kEmpty;

}  // namespace

void PakketVelden::Add(std::string name, std::string value) {
  const std::size_t equals = name.find('=');
  if (equals != std::string::npos) {
    value = name.substr(equals + 1) + "=" + value;
    name.erase(equals);
  }
  entries_.emplace_back(std::move(name), std::move(value));
}

const std::string& PakketVelden::Get(std::string_view name) const {
  for (const auto& [entry_name, value] : entries_)
    if (EqualsNoCase(entry_name, name)) return value;
  return kEmpty;
}

void PakketVelden::Set(std::string_view name, std::string value) {
  for (auto& [entry_name, entry_value] : entries_) {
    if (EqualsNoCase(entry_name, name)) {
      entry_value = std::move(value);
      return;
    }
  }
  entries_.emplace_back(std::string(name), std::move(value));
}

}  // namespace dorvek::gateway
