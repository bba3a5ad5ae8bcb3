#include "gateway/stream_framer.h"

#include <cstring>

#include <fmt/format.h>

#include "core/codepage.h"
#include "gateway/control_chars.h"

namespace dorvek::gateway {
namespace {

constexpr std::size_t kNone = std::string_view::npos;
constexpr std::size_t kTrailerSize = 1 + kTrailer.size();  // EOT and "XCRC"

std::size_t Find(std::string_view text, char c, std::size_t from, std::size_t to) {
  if (from >= to) return kNone;
  const void* found = std::memchr(text.data() + from, c, to - from);
  return found == nullptr ? kNone : static_cast<const char*>(found) - text.data();
}

}  // namespace

// Characters are counted only when the bytes could exceed the limit.
bool StreamFramer::TooLong(std::string_view frame) const {
  return frame.size() > max_frame_chars_ && core::Utf8Length(frame) > max_frame_chars_;
}

std::vector<std::string> StreamFramer::Feed(std::string_view text) {
  std::vector<std::string> packets;
  if (frame_.empty()) {
    const Unfinished rest = Scan(text, kNone, 0, packets);
    if (rest.start != kNone) {
      frame_.assign(text.substr(rest.start));
      resume_ = rest.resume - rest.start;
    }
  } else {
    frame_.append(text);
    const Unfinished rest = Scan(frame_, 0, resume_, packets);
    if (rest.start == kNone) {
      Reset();
    } else {
      if (rest.start != 0) {
        frame_.erase(0, rest.start);
        counted_bytes_ = counted_chars_ = 0;  // another frame than the one counted
      }
      resume_ = rest.resume - rest.start;
    }
  }
  // An unfinished frame past the limit can only become a longer one.
  if (frame_.size() > max_frame_chars_) {
    counted_chars_ += core::Utf8Length(std::string_view(frame_).substr(counted_bytes_));
    counted_bytes_ = frame_.size();
    if (counted_chars_ > max_frame_chars_) {
      Drop(frame_);
      Reset();
    }
  }
  return packets;
}

void StreamFramer::Reset() {
  frame_.clear();
  resume_ = counted_bytes_ = counted_chars_ = 0;
}

StreamFramer::Unfinished StreamFramer::Scan(std::string_view text, std::size_t start,
                                            std::size_t resume,
                                            std::vector<std::string>& packets) {
  std::size_t cursor = 0;  // where the next SOH is looked for while outside a frame
  while (true) {
    if (start == kNone) {
      start = Find(text, kSoh, cursor, text.size());
      if (start == kNone) return {};
      resume = start + 1;
    }
    // Neither SOH nor EOT occurs inside a field, so the first of them ends the frame.
    const std::size_t eot = Find(text, kEot, resume, text.size());
    const std::size_t soh = Find(text, kSoh, resume, eot == kNone ? text.size() : eot);
    if (soh != kNone) {
      Drop(text.substr(start, soh - start));
      start = soh;
      resume = soh + 1;
      continue;
    }
    const std::string_view after_eot =
        eot == kNone ? std::string_view() : text.substr(eot + 1, kTrailer.size());
    if (eot != kNone && !kTrailer.starts_with(after_eot)) {
      resume = eot + 1;  // a stray EOT: the frame goes on
      continue;
    }
    if (eot == kNone || after_eot.size() < kTrailer.size()) {
      // The rest of the frame, or of its trailer, is still to come.
      return {start, eot == kNone ? text.size() : eot};
    }
    const std::size_t end = eot + kTrailerSize;
    const std::string_view frame = text.substr(start, end - start);
    if (TooLong(frame)) {
      Drop(frame);
    } else {
      packets.emplace_back(frame);
    }
    cursor = end;
    start = kNone;
  }
}

void StreamFramer::Drop(std::string_view frame) {
  if (!on_drop_) return;
  const std::size_t chars = core::Utf8Length(frame);
  // The text must not depend on where the stream was cut, so an overlong frame is
  // reported without its size, which would be the size at the moment of dropping.
  if (chars > max_frame_chars_) {
    on_drop_(fmt::format("Pakket van meer dan {} tekens verworpen", max_frame_chars_));
  } else {
    on_drop_(fmt::format("Onvolledig pakket van {} tekens verworpen", chars));
  }
}

}  // namespace dorvek::gateway
