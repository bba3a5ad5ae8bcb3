#pragma once
// The one TCP connection to the terminal gateway, as the service sees it.

#include <string>
#include <string_view>
#include <system_error>

namespace dorvek::gateway {

enum class SocketState {
  kClosed,      // no connection and no attempt; after creation and after every closing
  kConnecting,  // an attempt is in progress
  kConnected,   // established
  kOther,       // passing states of an attempt (resolving and the like)
};

// What the link reports. Every call comes on the event-loop thread.
class GatewayEvents {
 public:
  virtual ~GatewayEvents() = default;
  // An attempt has completed: error is empty on success. A failed attempt is reported
  // as connected (with its error) and then closed.
  virtual void OnConnected(std::error_code error) = 0;
  // A connection that was connected (or whose attempt failed) has closed.
  virtual void OnClosed(std::error_code error) = 0;
  // Bytes as they came from one read, in the gateway's 8-bit code page.
  virtual void OnData(std::string_view bytes) = 0;
};

class GatewayLink {
 public:
  virtual ~GatewayLink() = default;
  virtual SocketState state() const = 0;
  // The remote address and port for the next attempt; forgotten after every closing.
  virtual void SetRemote(const std::string& host, const std::string& port) = 0;
  // Starts an attempt with the remote the link holds. Throws std::runtime_error with the
  // socket layer's text when it cannot start (no address or port, already in progress).
  virtual void Connect() = 0;
  // Writes the bytes as they stand. Throws std::runtime_error on failure.
  virtual void Send(std::string_view bytes) = 0;
  // Closes a connected socket (shutting down the sending side first), reporting
  // OnClosed before it returns.
  virtual void Close() = 0;
  // Ends the link in any state without reporting anything; used when the service
  // stops, so no event arrives after the queues are gone.
  virtual void Abandon() = 0;
};

}  // namespace dorvek::gateway
