#include "db/computer_name.h"

#include <unistd.h>

#include <climits>

#include "core/ascii.h"
#include "core/codepage.h"

namespace dorvek::db {

std::string NormalizeComputerName(const std::optional<std::string>& raw) {
  constexpr const char* kUnknown = "(UNKNOWN)";
  if (!raw) return kUnknown;
  std::string name = raw->substr(0, raw->find('.'));
  // Host names are ASCII by rule; anything else is taken as Windows-1252 bytes so the
  // result is valid text all the same.
  if (!core::IsValidUtf8(name)) name = core::Cp1252ToUtf8(name);
  name = core::ToUpper(name);
  name = core::Utf8Truncate(name, kComputerNameMaxLength);
  return name.empty() ? kUnknown : name;
}

std::string ComputerName() {
  char buffer[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return NormalizeComputerName(std::nullopt);
  return NormalizeComputerName(std::string(buffer));
}

}  // namespace dorvek::db
