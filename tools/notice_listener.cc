// notice_listener: receives LAN notices on a loopback UDP port, deciphers them and
// prints each plain text on its own line.
//
//   notice_listener [--listen 127.0.0.1:PORT] [--key KEY] [--count N] [--timeout S]
//
// --listen defaults to 127.0.0.1:54200 and must be a loopback address; port 0 picks a
// free port. The bound address is reported on stderr as "listening on HOST:PORT".
// --key defaults to "Wexlor"; an empty key takes the datagrams as plain text.
// --count N exits after N notices, --timeout S after S seconds; without them the
// listener runs until it is stopped. Exit status 1 when the timeout came before the
// count was reached, 2 for bad arguments or a port that cannot be bound, else 0.

#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include <asio.hpp>
#include <fmt/format.h>

#include "core/codepage.h"
#include "db/lan_notice.h"
#include "db/udp_sender.h"

namespace {

using asio::ip::udp;

struct Options {
  dorvek::db::LanTarget listen{"127.0.0.1", dorvek::db::kNoticePort};
  std::string key = "Wexlor";
  long long count = 0;    // 0: no limit
  long long timeout = 0;  // seconds; 0: no limit
};

long long ParseCount(std::string_view flag, std::string_view text) {
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value <= 0)
    throw std::invalid_argument(fmt::format("{} needs a positive number, not \"{}\"", flag, text));
  return value;
}

Options ParseArguments(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    if (i + 1 >= argc) throw std::invalid_argument(fmt::format("{} needs a value", flag));
    const std::string_view value = argv[++i];
    if (flag == "--listen") {
      // Port 0 is allowed here: the system picks one and it is reported.
      if (value.ends_with(":0")) {
        options.listen = {std::string(value.substr(0, value.size() - 2)), 0};
      } else {
        options.listen = dorvek::db::ParseLanTarget(value);
      }
    } else if (flag == "--key") {
      options.key = value;
    } else if (flag == "--count") {
      options.count = ParseCount(flag, value);
    } else if (flag == "--timeout") {
      options.timeout = ParseCount(flag, value);
    } else {
      throw std::invalid_argument(fmt::format("unknown option {}", flag));
    }
  }
  asio::error_code error;
  const auto address = asio::ip::make_address_v4(options.listen.host, error);
  if (error || !address.is_loopback())
    throw std::invalid_argument(
        fmt::format("--listen must be a 127.x.x.x address, not \"{}\"", options.listen.host));
  return options;
}

class Listener {
 public:
  Listener(asio::io_context& io, const Options& options)
      : options_(options),
        key_(dorvek::core::Utf8ToCp1252(options.key)),
        socket_(io, udp::endpoint(asio::ip::make_address_v4(options.listen.host),
                                  options.listen.port)),
        timer_(io) {
    const udp::endpoint bound = socket_.local_endpoint();
    std::fprintf(stderr, "listening on %s:%u\n", bound.address().to_string().c_str(),
                 static_cast<unsigned>(bound.port()));
    std::fflush(stderr);
    if (options_.timeout > 0) {
      timer_.expires_after(std::chrono::seconds(options_.timeout));
      timer_.async_wait([this](const asio::error_code& error) {
        if (error) return;  // cancelled: the count was reached
        timed_out_ = true;
        socket_.close();
      });
    }
    Receive();
  }

  bool timed_out() const { return timed_out_; }

 private:
  void Receive() {
    socket_.async_receive_from(
        asio::buffer(buffer_), from_, [this](const asio::error_code& error, std::size_t n) {
          if (error == asio::error::operation_aborted || !socket_.is_open()) return;
          if (!error) Print(std::string_view(buffer_.data(), n));
          if (options_.count > 0 && ++received_ >= options_.count) {
            timer_.cancel();
            socket_.close();
            return;
          }
          Receive();
        });
  }

  void Print(std::string_view datagram) {
    const std::string plain = dorvek::db::XorCipher(datagram, key_);
    const std::string line = dorvek::core::Cp1252ToUtf8(plain) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }

  const Options& options_;
  const std::string key_;
  udp::socket socket_;
  asio::steady_timer timer_;
  udp::endpoint from_;
  std::array<char, 65536> buffer_{};
  long long received_ = 0;
  bool timed_out_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = ParseArguments(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "notice_listener: %s\n", e.what());
    return 2;
  }
  try {
    asio::io_context io;
    Listener listener(io, options);
    io.run();
    return options.count > 0 && listener.timed_out() ? 1 : 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "notice_listener: %s\n", e.what());
    return 2;
  }
}
