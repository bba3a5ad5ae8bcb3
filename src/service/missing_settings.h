#pragma once
// What a configuration lacks for the service to do anything, reported at start.

#include <string>
#include <vector>

#include "service/settings.h"

namespace dorvek::service {

// What the service cannot work without that the settings lack, each with the elements
// to fill in: {"gateway address", {"Port"}} when no port is set (or Binding when it is
// empty), {"database", {...}} for the elements the database's opening requires.
struct MissingSetting {
  std::string what;
  std::vector<std::string> elements;
};
std::vector<MissingSetting> MissingSettings(const Settings& settings);

}  // namespace dorvek::service
