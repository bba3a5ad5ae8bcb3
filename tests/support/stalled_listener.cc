#include "support/stalled_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace dorvek::test_support {

LoopbackSocket ListenOnLoopback(int backlog) {
  LoopbackSocket out;
  out.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (out.fd < 0 || bind(out.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(out.fd, backlog) != 0 ||
      getsockname(out.fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const std::string error = std::strerror(errno);
    if (out.fd >= 0) close(out.fd);
    throw std::runtime_error("cannot listen on loopback: " + error);
  }
  out.port = ntohs(address.sin_port);
  return out;
}

StalledListener::StalledListener() {
  const LoopbackSocket socket = ListenOnLoopback(16);
  listener_ = socket.fd;
  port_ = socket.port;
  if (pipe2(wake_, O_CLOEXEC) != 0) {
    close(listener_);
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  thread_ = std::thread([this] { Serve(); });
}

StalledListener::~StalledListener() {
  const char stop = 's';
  (void)!write(wake_[1], &stop, 1);
  thread_.join();
  close(listener_);
  close(wake_[0]);
  close(wake_[1]);
}

void StalledListener::Serve() {
  std::vector<int> taken;  // held open, never read, never answered
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    if (fds[1].revents != 0) break;
    if (fds[0].revents & POLLIN) {
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        taken.push_back(fd);
        ++connections_;
      }
    }
  }
  for (int fd : taken) close(fd);
}

}  // namespace dorvek::test_support
