// The receive path (code page conversion, log, stream framer, queue) fed one byte
// stream cut into reads at random points. The input's last byte chooses the frame
// limit: a short one (8 to 262 characters), so that small inputs cross it cheaply, or
// for 255 the real one. The four bytes before it choose the cut points, the rest is
// the stream, where 0xFF 0xFE followed by bytes n and c stands for n * 64 times the
// character c, so that short inputs reach frames past the real limit, in bytes and in
// characters; such runs stop where the stream is a little longer than one frame can be.
// - The packets, the warnings about dropped frames and the half frame left over are
//   the same whether the stream comes in one read, one byte per read (short streams),
//   or in the random reads.
// - Every read gets its "Ontvangen pakket: " entry unless it holds "XGATE".
// - The packets are those of a plain reading of the whole stream: from each SOH to the
//   first EOT "XCRC" after it, unless another SOH comes first or the frame is longer
//   than the limit.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "core/codepage.h"
#include "core/memory_event_log.h"
#include "fuzz_check.h"
#include "gateway/control_chars.h"
#include "gateway/receive_path.h"

using namespace dorvek;

namespace {

struct Outcome {
  gateway::PacketQueue packets;
  std::vector<std::string> warnings;
  std::size_t pending = 0;

  bool operator==(const Outcome&) const = default;
};

// The stream framer alone, fed text already converted as the receive path converts it.
Outcome Frame(const std::vector<std::string_view>& texts, std::size_t limit) {
  Outcome outcome;
  gateway::StreamFramer framer(
      [&outcome](const std::string& text) { outcome.warnings.push_back(text); }, limit);
  for (const auto text : texts)
    for (auto& packet : framer.Feed(text)) outcome.packets.push_back(std::move(packet));
  outcome.pending = framer.pending_size();
  return outcome;
}

// A read that drops several fragments says so in one warning: "FIRST, en nog N
// stukken verworpen in dezelfde ontvangst". Unfolded into FIRST and the N fragments
// that follow it among all the fragments dropped (as the framer reported them one by
// one), so that a wrong count or a wrong first text shows as a difference.
std::vector<std::string> Unfold(const std::vector<std::string>& warnings,
                                const std::vector<std::string>& fragments) {
  static constexpr std::string_view kMiddle = ", en nog ";
  static constexpr std::string_view kEnd = " stukken verworpen in dezelfde ontvangst";
  std::vector<std::string> unfolded;
  for (const std::string& warning : warnings) {
    const std::size_t middle = warning.rfind(kMiddle);
    if (middle == std::string::npos || !std::string_view(warning).ends_with(kEnd)) {
      unfolded.push_back(warning);
      continue;
    }
    unfolded.push_back(warning.substr(0, middle));
    const std::string count = warning.substr(
        middle + kMiddle.size(), warning.size() - kEnd.size() - middle - kMiddle.size());
    const std::size_t more = std::stoul(count);
    FUZZ_CHECK(more >= 1 && std::to_string(more) == count);
    for (std::size_t i = 0; i < more; ++i) {
      const std::size_t at = unfolded.size();
      unfolded.push_back(at < fragments.size() ? fragments[at] : "(no such fragment)");
    }
  }
  return unfolded;
}

// The whole receive path, fed the bytes of each read; texts are the same reads
// converted, which the log must show. fragments are the drops of the same stream.
Outcome Receive(const std::vector<std::string_view>& reads,
                const std::vector<std::string_view>& texts, std::size_t limit,
                const std::vector<std::string>& fragments) {
  core::MemoryEventLog log;
  gateway::ReceivePath path(log, limit);
  gateway::PacketQueue queue;
  for (const auto read : reads) path.QClientSocketDataAvailable(read, &queue);

  Outcome outcome{std::move(queue), {}, path.pending_size()};
  // The entries of the reads come in read order, skipping the reads with "XGATE".
  std::size_t read_index = 0;
  for (const auto& entry : log.entries()) {
    if (entry.type == core::EntryType::kWarning) {
      outcome.warnings.push_back(entry.text);
      continue;
    }
    FUZZ_CHECK(entry.type == core::EntryType::kInformation);
    while (read_index < texts.size() && texts[read_index].find("XGATE") != std::string_view::npos)
      ++read_index;
    FUZZ_CHECK(read_index < texts.size() &&
               std::string_view(entry.text) == "Ontvangen pakket: " + std::string(texts[read_index]));
    ++read_index;
  }
  while (read_index < texts.size() && texts[read_index].find("XGATE") != std::string_view::npos)
    ++read_index;
  FUZZ_CHECK(read_index == texts.size());
  outcome.warnings = Unfold(outcome.warnings, fragments);
  return outcome;
}

// The packets of the whole text read at once, found the plain way.
std::vector<std::string> PlainPackets(std::string_view text, std::size_t limit) {
  static const std::string kEnd = std::string(1, gateway::kEot) + std::string(gateway::kTrailer);
  std::vector<std::string> packets;
  std::size_t at = text.find(gateway::kSoh);
  while (at != std::string_view::npos) {
    const std::size_t end = text.find(kEnd, at + 1);
    const std::size_t next = text.find(gateway::kSoh, at + 1);
    if (end == std::string_view::npos) break;
    if (next < end) {
      at = next;
      continue;
    }
    const std::string_view frame = text.substr(at, end + kEnd.size() - at);
    if (core::Utf8Length(frame) <= limit) packets.emplace_back(frame);
    at = text.find(gateway::kSoh, end + kEnd.size());
  }
  return packets;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const auto limit_code = provider.ConsumeIntegral<std::uint8_t>();
  const std::size_t limit = limit_code == 255 ? gateway::kMaxFrameChars : 8 + limit_code;
  const std::size_t max_stream = limit_code == 255 ? limit + 2000 : 4 * limit + 64;
  std::uint32_t seed = provider.ConsumeIntegral<std::uint32_t>();
  const std::string coded = provider.ConsumeRemainingBytesAsString();
  std::string stream;
  for (std::size_t i = 0; i < coded.size(); ++i) {
    if (coded.compare(i, 2, "\xFF\xFE") == 0 && i + 3 < coded.size()) {
      const auto n = static_cast<unsigned char>(coded[i + 2]);
      stream.append(std::min<std::size_t>(n * 64, max_stream - std::min(max_stream, stream.size())),
                    coded[i + 3]);
      i += 3;
    } else {
      stream += coded[i];
    }
  }
  const std::string_view view(stream);
  // Every byte becomes one character: where each byte's character starts in the text.
  const std::string text = core::Cp1252ToUtf8(view);
  std::vector<std::size_t> starts;
  starts.reserve(view.size() + 1);
  for (std::size_t i = 0; i < text.size(); ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
  starts.push_back(text.size());
  FUZZ_CHECK(starts.size() == view.size() + 1);
  auto text_of = [&](std::size_t from, std::size_t to) {
    return std::string_view(text).substr(starts[from], starts[to] - starts[from]);
  };

  const Outcome whole = Frame({text}, limit);

  // Reads of 1 to 64 bytes, now and then a long one, chosen by a small generator.
  std::vector<std::string_view> reads;
  std::vector<std::string_view> read_texts;
  for (std::size_t at = 0; at < view.size();) {
    seed = seed * 1664525u + 1013904223u;
    std::size_t length = 1 + (seed >> 16) % 64;
    if ((seed & 0x3F) == 0) length *= 31;
    length = std::min(length, view.size() - at);
    reads.push_back(view.substr(at, length));
    read_texts.push_back(text_of(at, at + length));
    at += length;
  }
  FUZZ_CHECK(Receive(reads, read_texts, limit, whole.warnings) == whole);

  if (view.size() <= 256) {
    std::vector<std::string_view> chars;
    for (std::size_t at = 0; at < view.size(); ++at) chars.push_back(text_of(at, at + 1));
    FUZZ_CHECK(Frame(chars, limit) == whole);
  }

  const std::vector<std::string> plain = PlainPackets(text, limit);
  FUZZ_CHECK(std::equal(whole.packets.begin(), whole.packets.end(), plain.begin(), plain.end()));
  return 0;
}
