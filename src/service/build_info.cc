#include "service/build_info.h"

namespace dorvek::service {

std::string VersionText() {
  return "dorvekzol " + std::string(BuildVersion()) + " (commit " + std::string(BuildCommit()) + ")";
}

}  // namespace dorvek::service
