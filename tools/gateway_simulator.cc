// gateway_simulator: plays the terminal gateway on a loopback TCP port. It accepts
// the service's connection (one at a time; when it closes, the next), prints every
// packet it receives, and sends the packets of a script.
//
//   gateway_simulator --listen 127.0.0.1:PORT [--script FILE] [--stay]
//                     [--timeout SECONDS] [--port-file FILE] [--private-network]
//
// --listen    a loopback address (127.x.x.x or ::1, IPv6 in brackets) and port;
//             port 0 picks a free one. Required.
// --private-network
//             also accept an address that is not loopback, but only when the tool
//             runs in a named network namespace (one "ip netns add" made, as a test
//             does that joins namespaces it created with a veth pair), not the
//             machine's (that of PID 1, where it can be seen).
// --script    the script to run; without it, or with "-", the script is read from
//             standard input as it comes.
// --stay      keep running after the script, until SIGTERM or SIGINT.
// --timeout   the longest any wait of the script lasts, in seconds (default 30).
// --port-file write the port listened on to FILE (complete when it appears).
//
// Script, one step per line; blank lines and lines beginning with "#" are skipped:
//   TAG=045 TYPE=KEY STATUS=NEW TIME=now UNIT=4711 NUMBER=004 004=15
//                       send one packet in notation (TIME=now: the local time)
//   raw TEXT            send TEXT as it stands, control characters written <SOH> <STX>
//                       <ETX> <EOT> <CR> <LF> <TAB> <0xNN>
//   random N [SEED]     send N pseudo-random bytes (any value, up to 16 MiB), the same
//                       for the same SEED (default 1): noise on the stream
//   together N          send the next N packets (or raw texts) in one write
//   split N [MS]        send the next packet in N writes, MS apart (default 50)
//   pause MS            wait MS milliseconds
//   wait-connection     wait until the service is connected (or has connected and
//                       gone again since the script last waited for or used one)
//   wait-disconnect     wait until the service is not connected (or has closed a
//                       connection since the script last waited for a closing)
//   expect TEXT         wait until a received packet shows TEXT in its printed form
//                       (e.g. "expect UNIT=mux4711"); packets up to the one that
//                       matched are used up, later expects look at later packets
//   close               close the connection from the gateway's side
//   echo TEXT           print TEXT
// Sending waits for a connection first. Packets go out in Windows-1252; received
// text is read as Windows-1252.
//
// Output, flushed per line: "listening on HOST:PORT", "--- ..." for connections,
// ">>> ..." for what was sent, "<<< packet N, M characters" followed by the packet
// and its fields, indented, for what was received, and "!!! ..." for problems.
// Exit status: 0 when the script ran to its end, 1 when a wait timed out, a send
// failed or a signal came first, 2 for bad arguments, a bad script line or an
// address that cannot be listened on.

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio.hpp>
#include <fmt/format.h>

#include "core/codepage.h"
#include "core/date_time.h"
#include "gateway/packet_notation.h"
#include "gateway/packet_writer.h"
#include "gateway/stream_framer.h"
#include "tool_exit.h"

namespace {

using asio::ip::tcp;
using SteadyClock = std::chrono::steady_clock;
namespace gateway = dorvek::gateway;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

using dorvek::tools::Exit;

struct Options {
  tcp::endpoint listen;
  std::string script;  // empty or "-": standard input
  bool stay = false;
  std::chrono::seconds timeout{30};
  std::string port_file;
};

long long ParseNumber(std::string_view what, std::string_view text, long long min,
                      long long max) {
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < min ||
      value > max)
    throw Exit(kExitUsage,
               fmt::format("{} needs a number from {} to {}, not \"{}\"", what, min, max, text));
  return value;
}

// True when this process's network is a namespace made on purpose: one of those named
// under /run/netns, and not (where it can be seen) the machine's.
bool InPrivateNetwork() {
  const auto same = [](const struct stat& a, const struct stat& b) {
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev;
  };
  struct stat own {}, machine{};
  if (::stat("/proc/self/ns/net", &own) != 0) return false;
  if (::stat("/proc/1/ns/net", &machine) == 0 && same(own, machine)) return false;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/run/netns", error)) {
    struct stat named {};
    if (::stat(entry.path().c_str(), &named) == 0 && same(own, named)) return true;
  }
  return false;
}

tcp::endpoint ParseListen(std::string_view text, bool private_network) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos)
    throw Exit(kExitUsage, fmt::format("--listen needs HOST:PORT, not \"{}\"", text));
  std::string_view host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  asio::error_code error;
  const asio::ip::address address = asio::ip::make_address(std::string(host), error);
  if (error)
    throw Exit(kExitUsage, fmt::format("--listen needs an IP address, not \"{}\"", host));
  // Only loopback: this tool must never be reachable from the network. In a namespace
  // of its own the network is the one its creator built.
  if (!address.is_loopback() && !private_network)
    throw Exit(kExitUsage, fmt::format("--listen refuses {}: not a loopback address", host));
  if (!address.is_loopback() && !InPrivateNetwork())
    throw Exit(kExitUsage, fmt::format("--listen refuses {}: not a loopback address, and this process "
                                       "runs in no named network namespace of its own", host));
  const auto port = ParseNumber("the port of --listen", text.substr(colon + 1), 0, 65535);
  return {address, static_cast<unsigned short>(port)};
}

Options ParseArguments(int argc, char** argv) {
  Options options;
  std::optional<std::string_view> listen;
  bool private_network = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    if (flag == "--stay") {
      options.stay = true;
      continue;
    }
    if (flag == "--private-network") {
      private_network = true;
      continue;
    }
    if (flag == "--help" || flag == "-h")
      throw Exit(kExitUsage,
                 "usage: gateway_simulator --listen 127.0.0.1:PORT [--script FILE] [--stay] "
                 "[--timeout SECONDS] [--port-file FILE] [--private-network]");
    if (i + 1 >= argc) throw Exit(kExitUsage, fmt::format("{} needs a value", flag));
    const std::string_view value = argv[++i];
    if (flag == "--listen") {
      listen = value;
    } else if (flag == "--script") {
      options.script = value;
    } else if (flag == "--timeout") {
      options.timeout = std::chrono::seconds(ParseNumber("--timeout", value, 1, 86400));
    } else if (flag == "--port-file") {
      options.port_file = value;
    } else {
      throw Exit(kExitUsage, fmt::format("unknown option {}", flag));
    }
  }
  if (!listen) throw Exit(kExitUsage, "--listen 127.0.0.1:PORT is required");
  options.listen = ParseListen(*listen, private_network);
  return options;
}

std::string ShowEndpoint(const tcp::endpoint& endpoint) {
  const std::string address = endpoint.address().to_string();
  return endpoint.address().is_v6() ? fmt::format("[{}]:{}", address, endpoint.port())
                                    : fmt::format("{}:{}", address, endpoint.port());
}

// Standard output for both threads: whole blocks, flushed at once.
class Output {
 public:
  void Lines(const std::vector<std::string>& lines) {
    std::lock_guard lock(mutex_);
    for (const auto& line : lines) {
      std::fwrite(line.data(), 1, line.size(), stdout);
      std::fputc('\n', stdout);
    }
    std::fflush(stdout);
  }
  void Line(const std::string& line) { Lines({line}); }

 private:
  std::mutex mutex_;
};

// One step of a script.
struct Step {
  enum class Kind {
    kPacket,
    kRaw,
    kRandom,
    kTogether,
    kSplit,
    kPause,
    kWaitConnection,
    kWaitDisconnect,
    kExpect,
    kClose,
    kEcho
  };
  Kind kind = Kind::kPacket;
  int line = 0;
  std::vector<std::string> fields;  // kPacket
  std::string text;                 // kRaw (the characters), kExpect, kEcho
  long long count = 0;              // kTogether, kSplit, kRandom; milliseconds for kPause
  long long pause_ms = 50;          // kSplit
  long long seed = 1;               // kRandom
};

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

// The step of one line, or nothing for a blank line or a comment.
std::optional<Step> ParseStep(std::string_view raw_line, int line_number) {
  const std::string_view line = Trim(raw_line);
  if (line.empty() || line.front() == '#') return std::nullopt;
  const std::size_t blank = line.find_first_of(" \t");
  const std::string_view word = line.substr(0, blank);
  const std::string_view rest =
      blank == std::string_view::npos ? std::string_view() : Trim(line.substr(blank));
  const auto fail = [&](const std::string& why) {
    return Exit(kExitUsage, fmt::format("script line {}: {}", line_number, why));
  };
  const auto needs_no_argument = [&] {
    if (!rest.empty()) throw fail(fmt::format("{} takes no argument", word));
  };
  const auto number = [&](std::string_view text, long long min, long long max) {
    try {
      return ParseNumber(word, text, min, max);
    } catch (const Exit& e) {
      throw fail(e.what());
    }
  };

  Step step;
  step.line = line_number;
  if (word == "raw") {
    step.kind = Step::Kind::kRaw;
    step.text = gateway::ParseControlNames(rest);
  } else if (word == "random") {
    step.kind = Step::Kind::kRandom;
    const std::size_t gap = rest.find_first_of(" \t");
    step.count = number(rest.substr(0, gap), 1, 16 << 20);
    if (gap != std::string_view::npos) step.seed = number(Trim(rest.substr(gap)), 0, 1LL << 40);
  } else if (word == "together") {
    step.kind = Step::Kind::kTogether;
    step.count = number(rest, 1, 10000);
  } else if (word == "split") {
    step.kind = Step::Kind::kSplit;
    const std::size_t gap = rest.find_first_of(" \t");
    step.count = number(rest.substr(0, gap), 1, 10000);
    if (gap != std::string_view::npos) step.pause_ms = number(Trim(rest.substr(gap)), 0, 60000);
  } else if (word == "pause") {
    step.kind = Step::Kind::kPause;
    step.count = number(rest, 0, 3600000);
  } else if (word == "wait-connection") {
    needs_no_argument();
    step.kind = Step::Kind::kWaitConnection;
  } else if (word == "wait-disconnect") {
    needs_no_argument();
    step.kind = Step::Kind::kWaitDisconnect;
  } else if (word == "expect") {
    if (rest.empty()) throw fail("expect needs a text");
    step.kind = Step::Kind::kExpect;
    step.text = rest;
  } else if (word == "close") {
    needs_no_argument();
    step.kind = Step::Kind::kClose;
  } else if (word == "echo") {
    step.kind = Step::Kind::kEcho;
    step.text = rest;
  } else {
    try {
      step.fields = gateway::ParseNotation(line);
    } catch (const gateway::NotationError& e) {
      throw fail(e.what());
    }
  }
  return step;
}

// The gateway's end of the connection. The socket, the acceptor and the framer
// belong to the network thread; the script thread reaches them only by posting, and
// meets the network thread at the state under mutex_.
class Gateway {
 public:
  Gateway(asio::io_context& io, const tcp::endpoint& endpoint, Output& out)
      : io_(io), acceptor_(io), out_(out),
        framer_([this](const std::string& text) { out_.Line("!!! " + text); }) {
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen();
  }

  tcp::endpoint local_endpoint() const { return acceptor_.local_endpoint(); }

  void Start() {
    asio::post(io_, [this] { Accept(); });
  }

  // Ends every wait of the script thread; from a signal.
  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    changed_.notify_all();
  }
  bool stopped() const {
    std::lock_guard lock(mutex_);
    return stopped_;
  }

  // Each wait returns false when the deadline passed or the program is stopping.
  // A connection counts as seen once a step has waited for it or used it, so a
  // connection that came and went quickly still ends the next wait for one, and a
  // closing the script has not waited for yet ends the next wait for a closing.

  // A connection is up, or one came and went unseen.
  bool WaitConnection(SteadyClock::time_point deadline) {
    std::unique_lock lock(mutex_);
    const auto fresh = [this] { return connected_ || accepted_ > seen_accepted_; };
    changed_.wait_until(lock, deadline, [&] { return fresh() || stopped_; });
    const bool ok = fresh() && !stopped_;
    seen_accepted_ = accepted_;
    return ok;
  }

  // A connection is up now, to send on.
  bool WaitConnected(SteadyClock::time_point deadline) {
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, deadline, [this] { return connected_ || stopped_; });
    seen_accepted_ = accepted_;
    return connected_ && !stopped_;
  }

  // No connection is up, or one closed unseen.
  bool WaitDisconnected(SteadyClock::time_point deadline) {
    std::unique_lock lock(mutex_);
    const auto fresh = [this] { return !connected_ || closed_ > seen_closed_; };
    changed_.wait_until(lock, deadline, [&] { return fresh() || stopped_; });
    const bool ok = fresh() && !stopped_;
    seen_closed_ = closed_;
    return ok;
  }

  // Waits for a received packet whose printed form holds text; the packets up to it
  // are used up.
  bool WaitForPacket(const std::string& text, SteadyClock::time_point deadline) {
    std::unique_lock lock(mutex_);
    bool found = false;
    changed_.wait_until(lock, deadline, [&] {
      for (std::size_t i = 0; i < unmatched_.size(); ++i) {
        if (unmatched_[i].find(text) != std::string::npos) {
          unmatched_.erase(unmatched_.begin(), unmatched_.begin() + i + 1);
          found = true;
          break;
        }
      }
      return found || stopped_;
    });
    return found && !stopped_;
  }

  bool Pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex_);
    return !changed_.wait_for(lock, duration, [this] { return stopped_; });
  }

  // One write of bytes on the current connection; the error, or a timeout.
  asio::error_code Write(std::string bytes, SteadyClock::time_point deadline) {
    auto data = std::make_shared<std::string>(std::move(bytes));
    auto done = std::make_shared<std::promise<asio::error_code>>();
    std::future<asio::error_code> result = done->get_future();
    asio::post(io_, [this, data, done] {
      if (!socket_) {
        done->set_value(asio::error::not_connected);
        return;
      }
      asio::async_write(*socket_, asio::buffer(*data),
                        [data, done](asio::error_code error, std::size_t) {
                          done->set_value(error);
                        });
    });
    if (result.wait_until(deadline) != std::future_status::ready) return asio::error::timed_out;
    return result.get();
  }

  void Close(SteadyClock::time_point deadline) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> result = done->get_future();
    asio::post(io_, [this, done] {
      if (socket_) {
        asio::error_code ignored;
        socket_->shutdown(tcp::socket::shutdown_both, ignored);
        socket_->close(ignored);
        Disconnected("--- connection closed by the gateway");
      }
      {
        std::lock_guard lock(mutex_);
        seen_accepted_ = accepted_;  // this script step did the closing
        seen_closed_ = closed_;
      }
      done->set_value();
    });
    result.wait_until(deadline);
  }

 private:
  void Accept() {
    acceptor_.async_accept([this](asio::error_code error, tcp::socket socket) {
      if (error == asio::error::operation_aborted) return;
      if (error) {
        // A passing shortage (of descriptors, say): try again shortly, not in a spin.
        out_.Line("!!! accept failed: " + error.message());
        auto timer = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(200));
        timer->async_wait([this, timer](asio::error_code) { Accept(); });
        return;
      }
      asio::error_code ignored;
      const tcp::endpoint peer = socket.remote_endpoint(ignored);
      socket_.emplace(std::move(socket));
      framer_.Reset();
      ++generation_;
      // Printed before the script thread can see the change, so the output keeps order.
      out_.Line("--- connected from " + ShowEndpoint(peer));
      {
        std::lock_guard lock(mutex_);
        connected_ = true;
        ++accepted_;
      }
      changed_.notify_all();
      Read(generation_);
    });
  }

  void Read(unsigned generation) {
    socket_->async_read_some(
        asio::buffer(buffer_), [this, generation](asio::error_code error, std::size_t n) {
          // A read of a connection closed since is over.
          if (generation != generation_ || !socket_) return;
          if (error) {
            Disconnected(error == asio::error::eof
                             ? std::string("--- connection closed by the service")
                             : "--- connection lost: " + error.message());
            return;
          }
          // Windows-1252 is one byte a character, so a read never splits one.
          const std::string text = dorvek::core::Cp1252ToUtf8({buffer_.data(), n});
          for (const auto& packet : framer_.Feed(text)) Received(packet);
          Read(generation);
        });
  }

  void Received(const std::string& packet) {
    ++received_;
    std::vector<std::string> lines = {fmt::format("<<< packet {}, {} characters", received_,
                                                  dorvek::core::Utf8Length(packet))};
    std::string printed;
    for (const auto& line : gateway::DescribePacket(packet)) {
      lines.push_back("    " + line);
      printed += line;
      printed += '\n';
    }
    lines.emplace_back();
    out_.Lines(lines);
    {
      std::lock_guard lock(mutex_);
      unmatched_.push_back(std::move(printed));
    }
    changed_.notify_all();
  }

  void Disconnected(const std::string& why) {
    if (framer_.pending_size() > 0)
      out_.Line(fmt::format("!!! unfinished packet of {} bytes discarded", framer_.pending_size()));
    framer_.Reset();
    socket_.reset();
    ++generation_;
    out_.Line(why);
    {
      std::lock_guard lock(mutex_);
      connected_ = false;
      ++closed_;
    }
    changed_.notify_all();
    Accept();  // the next connection, one at a time
  }

  asio::io_context& io_;
  tcp::acceptor acceptor_;
  Output& out_;

  // Network thread only.
  std::optional<tcp::socket> socket_;
  unsigned generation_ = 0;
  gateway::StreamFramer framer_;
  std::array<char, 4096> buffer_{};
  unsigned received_ = 0;

  // Shared with the script thread.
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool connected_ = false;
  bool stopped_ = false;
  unsigned accepted_ = 0, seen_accepted_ = 0;  // connections made, and seen by the script
  unsigned closed_ = 0, seen_closed_ = 0;      // closings, and seen by the script
  std::deque<std::string> unmatched_;  // printed forms not yet used up by an expect
};

// Runs the steps of a script against the gateway.
class ScriptRunner {
 public:
  ScriptRunner(Gateway& gateway, Output& out, std::chrono::seconds timeout)
      : gateway_(gateway), out_(out), timeout_(timeout) {}

  void Run(const Step& step) {
    if (gateway_.stopped()) throw Exit(kExitFailed, "stopped by a signal");
    if (group_) {
      AddToGroup(step);
      return;
    }
    switch (step.kind) {
      case Step::Kind::kPacket:
      case Step::Kind::kRaw:
      case Step::Kind::kRandom:
        Send({Wire(step)}, 0);
        out_.Line(">>> sent " + ShowSent(step));
        break;
      case Step::Kind::kTogether:
      case Step::Kind::kSplit:
        group_ = step;
        grouped_ = 0;
        pieces_.clear();
        shown_.clear();
        break;
      case Step::Kind::kPause:
        if (!gateway_.Pause(std::chrono::milliseconds(step.count)))
          throw Exit(kExitFailed, "stopped by a signal");
        break;
      case Step::Kind::kWaitConnection:
        if (!gateway_.WaitConnection(Deadline()))
          throw Failure(step, "no connection from the service");
        break;
      case Step::Kind::kWaitDisconnect:
        if (!gateway_.WaitDisconnected(Deadline()))
          throw Failure(step, "the service did not close the connection");
        break;
      case Step::Kind::kExpect:
        if (!gateway_.WaitForPacket(step.text, Deadline()))
          throw Failure(step, fmt::format("no packet with \"{}\"", step.text));
        out_.Line(fmt::format("--- expected \"{}\" seen", step.text));
        break;
      case Step::Kind::kClose:
        gateway_.Close(Deadline());
        break;
      case Step::Kind::kEcho:
        out_.Line(step.text);
        break;
    }
  }

  // A together or split still waiting for its packets at the end of the script.
  void Finish() {
    if (group_)
      throw Exit(kExitUsage, fmt::format("script line {}: the script ends before the packets "
                                         "of this step",
                                         group_->line));
  }

 private:
  void AddToGroup(const Step& step) {
    if (step.kind != Step::Kind::kPacket && step.kind != Step::Kind::kRaw &&
        step.kind != Step::Kind::kRandom)
      throw Exit(kExitUsage, fmt::format("script line {}: a packet or raw text must follow "
                                         "line {}",
                                         step.line, group_->line));
    const std::string wire = Wire(step);
    shown_.push_back("    " + ShowSent(step));
    if (group_->kind == Step::Kind::kTogether) {
      if (pieces_.empty()) pieces_.emplace_back();
      pieces_.front() += wire;
      if (++grouped_ < group_->count) return;
      group_.reset();
      Send(pieces_, 0);
      shown_.insert(shown_.begin(), fmt::format(">>> sent {} packets in one write", grouped_));
      out_.Lines(shown_);
      return;
    }
    // Split: N nearly equal pieces, none empty.
    const std::size_t n =
        std::min<std::size_t>(group_->count, std::max<std::size_t>(1, wire.size()));
    std::size_t at = 0;
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t end = wire.size() * (k + 1) / n;
      pieces_.push_back(wire.substr(at, end - at));
      at = end;
    }
    const long long pause_ms = group_->pause_ms;
    group_.reset();
    Send(pieces_, pause_ms);
    shown_.insert(shown_.begin(), fmt::format(">>> sent in {} writes", n));
    out_.Lines(shown_);
  }

  static std::string Wire(const Step& step) {
    if (step.kind == Step::Kind::kRaw) return dorvek::core::Utf8ToCp1252(step.text);
    if (step.kind == Step::Kind::kRandom) {
      std::mt19937_64 generator(static_cast<std::uint64_t>(step.seed));
      std::string bytes(static_cast<std::size_t>(step.count), '\0');
      for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
      return bytes;
    }
    std::vector<std::string> fields = step.fields;
    if (fields.size() > 3 && fields[3] == "now")
      fields[3] = dorvek::core::DateTime::FromTimePoint(std::chrono::system_clock::now()).ToSql();
    return dorvek::core::Utf8ToCp1252(gateway::BuildPacket(fields));
  }

  // What went out, readable: the wire text back in UTF-8 with control names.
  static std::string ShowSent(const Step& step) {
    if (step.kind == Step::Kind::kRandom)
      return fmt::format("{} random bytes, seed {}", step.count, step.seed);
    return gateway::ShowControlChars(dorvek::core::Cp1252ToUtf8(Wire(step)));
  }

  void Send(const std::vector<std::string>& writes, long long pause_ms) {
    if (!gateway_.WaitConnected(Deadline()))
      throw Exit(kExitFailed, "timeout: no connection to send on");
    for (std::size_t k = 0; k < writes.size(); ++k) {
      if (k > 0 && !gateway_.Pause(std::chrono::milliseconds(pause_ms)))
        throw Exit(kExitFailed, "stopped by a signal");
      const asio::error_code error = gateway_.Write(writes[k], Deadline());
      if (error) throw Exit(kExitFailed, "send failed: " + error.message());
    }
  }

  SteadyClock::time_point Deadline() const { return SteadyClock::now() + timeout_; }

  static Exit Failure(const Step& step, const std::string& what) {
    return Exit(kExitFailed, fmt::format("timeout at script line {}: {}", step.line, what));
  }

  Gateway& gateway_;
  Output& out_;
  std::chrono::seconds timeout_;
  std::optional<Step> group_;  // a together or split collecting its packets
  long long grouped_ = 0;
  std::vector<std::string> pieces_;
  std::vector<std::string> shown_;
};

// Lines of standard input as they come; reading gives way to a signal.
class StdinLines {
 public:
  explicit StdinLines(const Gateway& gateway) : gateway_(gateway) {}

  std::optional<std::string> Next() {
    while (true) {
      const std::size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      if (at_end_) {
        if (pending_.empty()) return std::nullopt;
        return std::exchange(pending_, std::string());
      }
      if (gateway_.stopped()) throw Exit(kExitFailed, "stopped by a signal");
      pollfd input{STDIN_FILENO, POLLIN, 0};
      if (::poll(&input, 1, 100) <= 0) continue;  // quiet, or interrupted: look again
      char buffer[4096];
      const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n > 0) {
        pending_.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        at_end_ = true;
      }
    }
  }

 private:
  const Gateway& gateway_;
  std::string pending_;
  bool at_end_ = false;
};

void WritePortFile(const std::string& path, unsigned short port) {
  // Written beside and renamed, so a reader never sees half a number.
  const std::string temporary = path + ".tmp";
  {
    std::ofstream file(temporary, std::ios::trunc);
    file << port << '\n';
    if (!file) throw Exit(kExitUsage, "cannot write " + temporary);
  }
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  if (error) throw Exit(kExitUsage, fmt::format("cannot write {}: {}", path, error.message()));
}

int Main(int argc, char** argv) {
  const Options options = ParseArguments(argc, argv);

  // A script file is checked whole before anything is listened on.
  std::vector<Step> steps;
  if (!options.script.empty() && options.script != "-") {
    std::ifstream file(options.script);
    if (!file) throw Exit(kExitUsage, "cannot read " + options.script);
    std::string line;
    for (int number = 1; std::getline(file, line); ++number)
      if (auto step = ParseStep(line, number)) steps.push_back(std::move(*step));
  }

  Output out;
  asio::io_context io;
  std::optional<Gateway> gateway;
  try {
    gateway.emplace(io, options.listen, out);
  } catch (const std::system_error& e) {
    throw Exit(kExitUsage, fmt::format("cannot listen on {}: {}", ShowEndpoint(options.listen),
                                       e.code().message()));
  }
  const tcp::endpoint bound = gateway->local_endpoint();
  if (!options.port_file.empty()) WritePortFile(options.port_file, bound.port());
  out.Line("listening on " + ShowEndpoint(bound));

  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](asio::error_code error, int number) {
    if (error) return;
    out.Line(fmt::format("--- stopped by signal {}", number));
    gateway->Stop();
  });
  gateway->Start();
  std::thread network([&io] { io.run(); });
  struct Join {
    asio::io_context& io;
    std::thread& thread;
    ~Join() {
      io.stop();
      thread.join();
    }
  } join{io, network};

  ScriptRunner runner(*gateway, out, options.timeout);
  if (options.script.empty() || options.script == "-") {
    StdinLines input(*gateway);
    int number = 0;
    while (auto line = input.Next()) {
      if (auto step = ParseStep(*line, ++number)) runner.Run(*step);
    }
  } else {
    for (const Step& step : steps) runner.Run(step);
  }
  runner.Finish();
  out.Line("--- script done");

  if (options.stay) {
    while (gateway->Pause(std::chrono::hours(1))) {
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const Exit& e) {
    // A failed run belongs to the output; a wrong call to the caller.
    if (e.status() == kExitUsage) {
      std::fprintf(stderr, "gateway_simulator: %s\n", e.what());
    } else {
      std::printf("!!! %s\n", e.what());
    }
    std::fflush(stdout);
    return e.status();
  } catch (const std::exception& e) {
    std::printf("!!! %s\n", e.what());
    std::fflush(stdout);
    return kExitFailed;
  }
}
