#pragma once
// Whether the machine is shutting down, as systemd's manager reports it. Asked once, at
// a stop, from the event loop: the question is bounded so that a bus that does not
// answer cannot hold the stop.

#include <chrono>
#include <optional>
#include <string>

namespace dorvek::service {

// How long a stop waits for the answer before it goes on as an ordinary stop.
inline constexpr std::chrono::milliseconds kSystemStateTimeout{1000};

// The system bus: $DBUS_SYSTEM_BUS_ADDRESS, else the standard socket.
std::string SystemBusAddress();

// The manager's SystemState property ("running", "stopping" …) read over the D-Bus
// at `bus_address` (for example "unix:path=/run/dbus/system_bus_socket"). Returns
// within `timeout`, connection and authentication included; nothing when the bus
// cannot be reached, refuses, or does not answer in time.
std::optional<std::string> ReadSystemState(const std::string& bus_address, std::chrono::milliseconds timeout);

// True when the manager at `bus_address` says "stopping" within `timeout`. False when
// it cannot be asked (no bus, no answer in time): a stop is then an ordinary stop.
bool SystemIsStopping(const std::string& bus_address, std::chrono::milliseconds timeout);
// The same for this machine's systemd on the system bus, within kSystemStateTimeout;
// false at once when systemd does not run the machine.
bool SystemIsStopping();

}  // namespace dorvek::service
