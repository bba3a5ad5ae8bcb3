#include "gateway/host_resolver.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace dorvek::gateway {
namespace {

// getaddrinfo with the flags given; the endpoints or the resolver's text.
Endpoints GetAddrInfo(const std::string& host, const std::string& port, int flags, int& rc,
                      std::string& failure) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = flags;
  addrinfo* list = nullptr;
  rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
  Endpoints endpoints;
  if (rc != 0) {
    failure = rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
    return endpoints;
  }
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
    asio::ip::tcp::endpoint endpoint;
    std::memcpy(endpoint.data(), a->ai_addr, a->ai_addrlen);
    endpoint.resize(a->ai_addrlen);
    endpoints.push_back(endpoint);
  }
  freeaddrinfo(list);
  if (endpoints.empty()) failure = gai_strerror(EAI_NONAME);
  return endpoints;
}

}  // namespace

std::optional<Endpoints> NumericEndpoints(const std::string& host, const std::string& port) {
  int rc = 0;
  std::string failure;
  Endpoints endpoints = GetAddrInfo(host, port, AI_NUMERICHOST | AI_NUMERICSERV, rc, failure);
  if (rc != 0 || endpoints.empty()) return std::nullopt;
  return endpoints;
}

SystemHostResolver::SystemHostResolver(asio::io_context& io) : io_(io) {}

SystemHostResolver::~SystemHostResolver() { Cancel(); }

void SystemHostResolver::Resolve(const std::string& host, const std::string& port, Done done) {
  std::erase_if(lookups_, [](const std::weak_ptr<Lookup>& l) { return l.expired(); });
  auto lookup = std::make_shared<Lookup>();
  auto executor = io_.get_executor();
  try {
    std::thread([lookup, executor, host, port, done = std::move(done)]() mutable {
      int rc = 0;
      std::string failure;
      Endpoints endpoints = GetAddrInfo(host, port, AI_NUMERICSERV, rc, failure);
      const std::lock_guard<std::mutex> lock(lookup->mutex);
      if (lookup->cancelled) return;
      // Posted while the mutex is held, so once Cancel has returned nothing more reaches
      // the loop; a result already posted checks the mark again before it runs.
      asio::post(executor, [lookup, done = std::move(done), endpoints = std::move(endpoints),
                            failure = std::move(failure)]() mutable {
        {
          const std::lock_guard<std::mutex> check(lookup->mutex);
          if (lookup->cancelled) return;
        }
        done(std::move(endpoints), std::move(failure));
      });
    }).detach();
  } catch (const std::system_error& e) {
    throw std::runtime_error(std::string("cannot start the name lookup: ") + e.what());
  }
  lookups_.push_back(lookup);
}

void SystemHostResolver::Cancel() {
  for (auto& weak : lookups_) {
    if (auto lookup = weak.lock()) {
      const std::lock_guard<std::mutex> lock(lookup->mutex);
      lookup->cancelled = true;
    }
  }
  lookups_.clear();
}

}  // namespace dorvek::gateway
