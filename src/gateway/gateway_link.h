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
// writing all complete later, on the event loop. Only Close gives the packets written
// a short, bounded moment to be acknowledged before it returns.
//
// A packet is delivered once the gateway host's TCP has acknowledged its bytes, not when
// the kernel took them: a host that died keeps what it had not acknowledged, and the
// sender writes it again on the next connection.

#include <cstddef>
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
  // The gateway host has acknowledged every byte of a write.
  using Acknowledged = std::function<void()>;

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
  // Starts writing the bytes as they stand, one packet; `done` is called once, on the
  // event loop, when the write has ended. A write that fails or does not complete
  // within the link's write time-out closes the connection: `done` gets the failure,
  // then the closed event follows. Close fails a write in flight the same way. Throws
  // std::runtime_error when the write cannot start (not connected, a write already in
  // flight).
  // `acknowledged` (may be empty) is called once the gateway host has acknowledged
  // every byte of this write, in the order of the writes; never when the connection
  // ends first: the packet then counts as not delivered.
  virtual void Send(std::string_view bytes, SendDone done, Acknowledged acknowledged) = 0;
  // Writes of this connection, the one in flight included, that the gateway host has
  // not acknowledged yet; 0 when not connected.
  virtual std::size_t unacknowledged() const = 0;
  // Closes a connected socket, reporting OnClosed before it returns: what waits unread
  // in the socket is delivered first (OnData), the sending side is shut down so what is
  // queued still leaves, the writes not yet acknowledged get a
  // short bounded moment, and then the socket closes (with a reset when some were
  // still not acknowledged).
  virtual void Close() = 0;
  // Stops reading the socket: no read is outstanding while paused, so what the gateway
  // sends waits in the TCP buffers (its window closes) and nothing is dropped. A
  // setting of the link, kept across connections. A connection found closed while
  // paused is reported as before; one that closes behind unread bytes is reported when
  // reading goes on, after those bytes.
  virtual void PauseReading() = 0;
  // Reads again, starting with what waited.
  virtual void ResumeReading() = 0;
  virtual bool reading_paused() const = 0;
  // Ends the link in any state without reporting anything, also no write's `done` and
  // no start failure; used when the service stops, so nothing arrives after the queues
  // are gone.
  virtual void Abandon() = 0;
};

}  // namespace dorvek::gateway
