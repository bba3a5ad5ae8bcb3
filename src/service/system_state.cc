#include "service/system_state.h"

#include <cstdlib>
#include <memory>

#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>

namespace dorvek::service {
namespace {

struct BusCloser {
  // Closes without flushing: a flush would wait on a peer that may not read.
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};

struct Answer {
  bool done = false;
  std::optional<std::string> state;
};

int OnReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& answer = *static_cast<Answer*>(userdata);
  answer.done = true;
  if (sd_bus_message_is_method_error(reply, nullptr)) return 0;
  const char* state = nullptr;
  if (sd_bus_message_read(reply, "v", "s", &state) >= 0 && state != nullptr) answer.state = state;
  return 0;
}

}  // namespace

std::string SystemBusAddress() {
  const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  if (address && *address) return address;
  return "unix:path=/run/dbus/system_bus_socket";
}

std::optional<std::string> ReadSystemState(const std::string& bus_address, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  sd_bus* raw = nullptr;
  if (sd_bus_new(&raw) < 0) return std::nullopt;
  std::unique_ptr<sd_bus, BusCloser> bus(raw);
  if (sd_bus_set_address(raw, bus_address.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0) return std::nullopt;
  // The call is made asynchronously and the loop below waits for it with our own
  // deadline: sd-bus's own waits (authentication, a call) default to 25 s.
  if (sd_bus_start(raw) < 0) return std::nullopt;
  Answer answer;
  sd_bus_slot* raw_slot = nullptr;
  if (sd_bus_call_method_async(raw, &raw_slot, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                               "org.freedesktop.DBus.Properties", "Get", OnReply, &answer, "ss",
                               "org.freedesktop.systemd1.Manager", "SystemState") < 0)
    return std::nullopt;
  std::unique_ptr<sd_bus_slot, SlotUnref> slot(raw_slot);
  while (!answer.done) {
    const int r = sd_bus_process(raw, nullptr);
    if (r < 0) return std::nullopt;
    if (r > 0) continue;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    if (sd_bus_wait(raw, static_cast<uint64_t>(left.count())) < 0) return std::nullopt;
  }
  return answer.state;
}

bool SystemIsStopping(const std::string& bus_address, std::chrono::milliseconds timeout) {
  return ReadSystemState(bus_address, timeout) == std::optional<std::string>("stopping");
}

bool SystemIsStopping() {
  if (sd_booted() <= 0) return false;
  return SystemIsStopping(SystemBusAddress(), kSystemStateTimeout);
}

}  // namespace dorvek::service
