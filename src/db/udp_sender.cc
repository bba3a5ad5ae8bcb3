#include "db/udp_sender.h"

#include <charconv>
#include <stdexcept>

#include <asio.hpp>
#include <fmt/format.h>

namespace dorvek::db {
namespace {

using asio::ip::udp;

[[noreturn]] void Fail(const LanTarget& target, const asio::error_code& error) {
  throw std::runtime_error(
      fmt::format("UDP {}:{}: {}", target.host, target.port, error.message()));
}

}  // namespace

LanTarget ParseLanTarget(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) {
    throw std::invalid_argument(fmt::format("LAN target \"{}\" is not HOST:PORT", text));
  }
  const std::string_view port_text = text.substr(colon + 1);
  unsigned port = 0;
  const auto [end, error] =
      std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (port_text.empty() || error != std::errc() || end != port_text.data() + port_text.size() ||
      port == 0 || port > 65535) {
    throw std::invalid_argument(
        fmt::format("LAN target \"{}\": port must be a number from 1 to 65535", text));
  }
  return LanTarget{std::string(text.substr(0, colon)), static_cast<std::uint16_t>(port)};
}

void AsioUdpSender::Send(std::string_view bytes) {
  asio::io_context io;
  asio::error_code error;
  udp::endpoint to;
  const asio::ip::address_v4 address = asio::ip::make_address_v4(target_.host, error);
  if (!error) {
    to = udp::endpoint(address, target_.port);
  } else {
    udp::resolver resolver(io);
    const auto results = resolver.resolve(udp::v4(), target_.host, std::to_string(target_.port),
                                          udp::resolver::numeric_service, error);
    if (error) Fail(target_, error);
    if (results.empty()) Fail(target_, asio::error::host_not_found);
    to = results.begin()->endpoint();
  }

  udp::socket socket(io);
  socket.open(udp::v4(), error);
  if (error) Fail(target_, error);
  socket.bind(udp::endpoint(asio::ip::address_v4::any(), 0), error);
  if (error) Fail(target_, error);
  socket.set_option(asio::socket_base::broadcast(true), error);
  if (error) Fail(target_, error);
  const std::size_t sent = socket.send_to(asio::buffer(bytes.data(), bytes.size()), to, 0, error);
  if (error) Fail(target_, error);
  if (sent != bytes.size()) Fail(target_, asio::error::message_size);
  socket.close(error);  // the datagram is gone; a failing close changes nothing
}

}  // namespace dorvek::db
