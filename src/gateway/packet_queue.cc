#include "gateway/packet_queue.h"

#include <algorithm>
#include <utility>

namespace dorvek::gateway {

PacketQueue::PacketQueue(std::initializer_list<std::string> texts) {
  for (const std::string& text : texts) push_back(text);
}

void PacketQueue::push_back(std::string text) {
  QueuedPacket packet;
  packet.text = std::move(text);
  entries_.push_back(std::move(packet));
}

void PacketQueue::push_back(QueuedPacket packet) { entries_.push_back(std::move(packet)); }

void PacketQueue::NoteRemoved(const QueuedPacket& packet) {
  if (packet.store_id != 0) removed_.push_back(packet.store_id);
}

void PacketQueue::pop_front() {
  NoteRemoved(entries_.front());
  entries_.pop_front();
}

void PacketQueue::truncate(std::size_t n) {
  while (entries_.size() > n) {
    NoteRemoved(entries_.back());
    entries_.pop_back();
  }
}

void PacketQueue::clear() { truncate(0); }

void PacketQueue::erase(std::size_t i) {
  NoteRemoved(entries_[i]);
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
}

void PacketQueue::SetBboId(std::size_t i, long long bbo_id) {
  QueuedPacket& packet = entries_[i];
  packet.bbo_id = bbo_id;
  if (packet.store_id != 0) changed_.push_back({packet.store_id, bbo_id, packet.reply_to});
}

void PacketQueue::SetReplyTo(std::size_t i, std::int64_t reply_to) {
  QueuedPacket& packet = entries_[i];
  packet.reply_to = reply_to;
  if (packet.store_id != 0) changed_.push_back({packet.store_id, packet.bbo_id, reply_to});
}

bool operator==(const PacketQueue& a, const PacketQueue& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace dorvek::gateway
