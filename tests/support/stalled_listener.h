#pragma once
// A server that takes every TCP connection on loopback and never answers: what a
// database server looks like whose process hangs while its kernel still accepts.

#include <atomic>
#include <thread>

namespace dorvek::test_support {

// A listening TCP socket on 127.0.0.1 at a free port.
struct LoopbackSocket {
  int fd = -1;
  int port = 0;
};
// Throws std::runtime_error when it cannot listen.
LoopbackSocket ListenOnLoopback(int backlog);

class StalledListener {
 public:
  // Listens on 127.0.0.1 at a free port. Throws std::runtime_error when it cannot.
  StalledListener();
  // Closes the listener and every connection it took.
  ~StalledListener();
  StalledListener(const StalledListener&) = delete;
  StalledListener& operator=(const StalledListener&) = delete;

  int port() const { return port_; }
  // How many connections it has taken so far.
  int connections() const { return connections_.load(); }

 private:
  void Serve();

  int listener_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

}  // namespace dorvek::test_support
