#pragma once
// Turns the gateway's host name into addresses without holding the event loop: the
// system's resolver may wait many seconds for a name server that does not answer.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <asio.hpp>

namespace dorvek::gateway {

using Endpoints = std::vector<asio::ip::tcp::endpoint>;

// The endpoints of a numeric address and a decimal port, found without asking any name
// service, so at once. Nothing when the host is a name to look up (or the port is not a
// number: the lookup then reports it).
std::optional<Endpoints> NumericEndpoints(const std::string& host, const std::string& port);

class HostResolver {
 public:
  // On the event loop: the endpoints, or (when `failure` is not empty) the resolver's text.
  using Done = std::function<void(Endpoints endpoints, std::string failure)>;

  virtual ~HostResolver() = default;
  // Starts looking up host and port (decimal); `done` runs later on the event loop,
  // never from within Resolve. Throws std::runtime_error when the lookup cannot start.
  virtual void Resolve(const std::string& host, const std::string& port, Done done) = 0;
  // Drops every lookup in progress: no `done` of theirs runs after this returns.
  virtual void Cancel() = 0;
};

// The system's resolver (getaddrinfo), each lookup on a short-lived thread of its own
// whose result is posted to the event loop. A lookup cannot be interrupted: a cancelled
// one ends on its thread and is thrown away, so neither the loop nor the process's exit
// waits for it.
class SystemHostResolver : public HostResolver {
 public:
  explicit SystemHostResolver(asio::io_context& io);
  ~SystemHostResolver() override;

  void Resolve(const std::string& host, const std::string& port, Done done) override;
  void Cancel() override;

 private:
  // Shared by a lookup's thread and the resolver; `cancelled` is read and written
  // under `mutex`, and the thread posts its result while it holds the mutex.
  struct Lookup {
    std::mutex mutex;
    bool cancelled = false;
  };

  asio::io_context& io_;
  std::vector<std::weak_ptr<Lookup>> lookups_;
};

}  // namespace dorvek::gateway
