#pragma once
// The one TCP connection to the terminal gateway, as the service sees it.
//
//   closed ──Connect──► other (resolving a name) ──► connecting ──ok──► connected
//     ▲                   │ name not found:             │ fails: connected(error),
//     │                   │ start failure, no events    │ then closed
//     └───────────────────┴─────────────────────────────┴──◄── gateway, network, Close,
//                                                              a failed or late write
//
// Nothing the link does waits on the network: resolving, connecting, reading and
// writing all complete later, on the event loop.

#include <functional>
#include <optional>
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
  // An attempt that could not start after Connect returned (a host name that does not
  // resolve): the resolver's text. The link is closed again and reports no event.
  using StartFailure = std::function<void(const std::string& text)>;
  // The end of a write: no value when every byte was written, else the failure's text.
  using SendDone = std::function<void(std::optional<std::string> failure)>;

  virtual ~GatewayLink() = default;
  virtual SocketState state() const = 0;
  // The remote address and port for the next attempt; forgotten after every closing.
  virtual void SetRemote(const std::string& host, const std::string& port) = 0;
  // Starts an attempt with the remote the link holds. Throws std::runtime_error with the
  // socket layer's text when it cannot start (no address or port, already in progress);
  // a failure found later, while a host name is resolved, goes to on_start_failure.
  virtual void Connect(StartFailure on_start_failure) = 0;
  // True from Send until its `done` has been called (or dropped by Abandon).
  virtual bool sending() const = 0;
  // Starts writing the bytes as they stand; `done` is called once, on the event loop,
  // when the write has ended. A write that fails or does not complete within the link's
  // write time-out closes the connection: `done` gets the failure, then the closed event
  // follows. Close fails a write in flight the same way. Throws std::runtime_error when
  // the write cannot start (not connected, a write already in flight).
  virtual void Send(std::string_view bytes, SendDone done) = 0;
  // Closes a connected socket (shutting down the sending side first), reporting
  // OnClosed before it returns.
  virtual void Close() = 0;
  // Ends the link in any state without reporting anything, also no write's `done` and
  // no start failure; used when the service stops, so nothing arrives after the queues
  // are gone.
  virtual void Abandon() = 0;
};

}  // namespace dorvek::gateway
