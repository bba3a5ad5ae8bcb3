#pragma once
// Cuts the received text stream into whole packets.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace dorvek::gateway {

// A frame longer than this many characters, trailer included, is never a packet.
inline constexpr std::size_t kMaxFrameChars = 10000;

// Receives the text of each read in turn and hands out whole packets, from SOH
// through the trailer (EOT followed by "XCRC"). The length field is not used: it may
// be wrong. A packet ends at the first trailer after its SOH. Text outside frames is
// skipped. A SOH inside an unfinished frame means that frame was cut short: it is
// dropped and framing starts afresh at the new SOH. A frame that grows past
// the limit (kMaxFrameChars characters) is dropped and framing resumes at the next SOH.
//
// The packets and the drops are the same however the stream is cut into reads.
// Works on UTF-8 text, so a read must not end inside a character.
class StreamFramer {
 public:
  // Told a plain text for every dropped frame; the caller logs it as a warning.
  using DropHandler = std::function<void(const std::string& text)>;

  StreamFramer() = default;
  // max_frame_chars is kMaxFrameChars but where a test wants short frames to reach it.
  explicit StreamFramer(DropHandler on_drop, std::size_t max_frame_chars = kMaxFrameChars)
      : on_drop_(std::move(on_drop)), max_frame_chars_(max_frame_chars) {}

  // The packets completed by this read, in stream order.
  std::vector<std::string> Feed(std::string_view text);

  // Bytes held of an unfinished frame.
  std::size_t pending_size() const { return frame_.size(); }

  // Forgets an unfinished frame without reporting it, as when the connection is new.
  void Reset();

 private:
  struct Unfinished {
    std::size_t start = std::string_view::npos;  // its SOH in the scanned text; npos: none
    std::size_t resume = 0;
  };
  // Collects the packets of text, where a frame begins at start (npos: outside a frame)
  // and its end is searched from resume on; returns the frame left unfinished.
  Unfinished Scan(std::string_view text, std::size_t start, std::size_t resume,
                  std::vector<std::string>& packets);
  bool TooLong(std::string_view frame) const;
  void Drop(std::string_view frame);

  DropHandler on_drop_;
  std::size_t max_frame_chars_ = kMaxFrameChars;
  std::string frame_;        // the unfinished frame, from its SOH; empty when none
  std::size_t resume_ = 0;   // where the search for its end goes on inside frame_
  // Characters of frame_ up to counted_bytes_, so a frame that grows a little per
  // read is not counted again from its start at every read.
  std::size_t counted_bytes_ = 0;
  std::size_t counted_chars_ = 0;
};

}  // namespace dorvek::gateway
