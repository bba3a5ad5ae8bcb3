#include "service/system_state.h"

#include <cstdlib>
#include <cstring>

#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>

namespace dorvek::service {

bool SystemIsStopping() {
  if (sd_booted() <= 0) return false;
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return false;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  char* state = nullptr;
  const int r = sd_bus_get_property_string(bus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                           "org.freedesktop.systemd1.Manager", "SystemState", &error,
                                           &state);
  const bool stopping = r >= 0 && state && std::strcmp(state, "stopping") == 0;
  std::free(state);
  sd_bus_error_free(&error);
  sd_bus_unref(bus);
  return stopping;
}

}  // namespace dorvek::service
