#pragma once
// A UDP sender that keeps every datagram and can be told to fail.

#include <stdexcept>
#include <string>
#include <vector>

#include "db/udp_sender.h"

namespace dorvek::test_support {

class FakeUdpSender : public db::UdpSender {
 public:
  void Send(std::string_view bytes) override {
    if (fail) throw std::runtime_error("Network is unreachable");
    datagrams.emplace_back(bytes);
  }
  std::vector<std::string> datagrams;
  bool fail = false;
};

}  // namespace dorvek::test_support
