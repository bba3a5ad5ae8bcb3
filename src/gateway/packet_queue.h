#pragma once
// A packet queue: appended at the end, taken from the head. The inbound queue holds
// received packets, the outbound queue complete packets waiting to be sent; both as
// UTF-8 text, converted where bytes enter and leave the service.
//
// Each entry carries what the queue store needs to keep the queue on disk: the row that
// holds it there (0 until it is written), when it was queued, and for an outbound packet
// of the message box the row of berichtenbox whose marking is not settled yet, and for a
// reply the inbound packet whose work is not settled yet. Whoever
// takes entries away leaves their rows to the store: the queue notes them, and the
// store deletes them at its next save.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

namespace dorvek::gateway {

struct QueuedPacket {
  std::string text;
  std::int64_t store_id = 0;   // its row in the queue file; 0 while not written there
  std::int64_t queued_ms = 0;  // when it was queued (Unix time, ms); 0 until the store stamps it
  // Outbound: the message-box row this packet was built from, while the marking of that
  // row is not known to have succeeded. Such a packet is held: nothing is sent while it
  // is at the head.
  long long bbo_id = 0;
  // Outbound: the inbound packet (its row in the queue file) whose handling made this
  // reply, while that packet's work is not known to have committed. The reply is written
  // before the commit, so a crash between the commit and the next save loses no reply;
  // a packet that finds replies of its own in the queue when it is handled again sends
  // those and drops the ones it makes.
  std::int64_t reply_to = 0;
};

class PacketQueue {
 public:
  // Iterates over the packets' texts.
  class const_iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = std::string;
    using difference_type = std::ptrdiff_t;
    using pointer = const std::string*;
    using reference = const std::string&;

    const_iterator() = default;
    explicit const_iterator(std::deque<QueuedPacket>::const_iterator it) : it_(it) {}
    reference operator*() const { return it_->text; }
    pointer operator->() const { return &it_->text; }
    reference operator[](difference_type n) const { return it_[n].text; }
    const_iterator& operator++() { return ++it_, *this; }
    const_iterator operator++(int) { return const_iterator(it_++); }
    const_iterator& operator--() { return --it_, *this; }
    const_iterator operator--(int) { return const_iterator(it_--); }
    const_iterator& operator+=(difference_type n) { return it_ += n, *this; }
    const_iterator& operator-=(difference_type n) { return it_ -= n, *this; }
    friend const_iterator operator+(const_iterator a, difference_type n) { return a += n; }
    friend const_iterator operator+(difference_type n, const_iterator a) { return a += n; }
    friend const_iterator operator-(const_iterator a, difference_type n) { return a -= n; }
    friend difference_type operator-(const const_iterator& a, const const_iterator& b) { return a.it_ - b.it_; }
    friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.it_ == b.it_; }
    friend auto operator<=>(const const_iterator& a, const const_iterator& b) { return a.it_ <=> b.it_; }

   private:
    std::deque<QueuedPacket>::const_iterator it_;
  };

  using value_type = std::string;
  using size_type = std::size_t;
  using const_reference = const std::string&;
  using reference = const std::string&;
  using iterator = const_iterator;

  PacketQueue() = default;
  PacketQueue(std::initializer_list<std::string> texts);

  void push_back(std::string text);
  void push_back(QueuedPacket packet);
  // Takes the head away; its row, if written, is noted for the store.
  void pop_front();
  // Takes entries away from the end until size() is n (n may not exceed size()).
  void truncate(std::size_t n);
  void clear();

  const std::string& front() const { return entries_.front().text; }
  const std::string& back() const { return entries_.back().text; }
  const std::string& operator[](std::size_t i) const { return entries_[i].text; }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const_iterator begin() const { return const_iterator(entries_.begin()); }
  const_iterator end() const { return const_iterator(entries_.end()); }

  // The entries with their bookkeeping, for the store and for the message box.
  QueuedPacket& entry(std::size_t i) { return entries_[i]; }
  const QueuedPacket& entry(std::size_t i) const { return entries_[i]; }
  // Takes the entry at i away, wherever it stands; its row is noted for the store.
  void erase(std::size_t i);
  // Sets the entry's unsettled message-box row (0: settled); a written entry is noted
  // for the store.
  void SetBboId(std::size_t i, long long bbo_id);
  // Sets the entry's unsettled inbound packet (0: settled), noted as SetBboId.
  void SetReplyTo(std::size_t i, std::int64_t reply_to);

  // What the store has yet to write of the entries it holds: rows of entries taken away,
  // and rows whose bookkeeping changed (row, new values), since it last asked.
  struct Change {
    std::int64_t store_id;
    long long bbo_id;
    std::int64_t reply_to;
  };
  const std::vector<std::int64_t>& removed() const { return removed_; }
  const std::vector<Change>& changed() const { return changed_; }
  void ClearNoted() {
    removed_.clear();
    changed_.clear();
  }

  friend bool operator==(const PacketQueue& a, const PacketQueue& b);

 private:
  void NoteRemoved(const QueuedPacket& packet);

  std::deque<QueuedPacket> entries_;
  std::vector<std::int64_t> removed_;
  std::vector<Change> changed_;
};

}  // namespace dorvek::gateway
