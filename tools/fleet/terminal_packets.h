#pragma once
// The fields of the packets a terminal (or the gateway itself) sends, in the order
// gateway::BuildPacket takes them, and the position texts the terminals write.

#include <string>
#include <utility>
#include <vector>

namespace dorvek::fleet {

using Pairs = std::vector<std::pair<std::string, std::string>>;

struct PacketHeader {
  std::string tag;
  std::string type;    // KEY, NOOP, FORM, MACRO
  std::string status;  // NEW, ACK, NAK, REJ
  std::string time;    // YYYY-MM-DD hh:mm:ss
  std::string unit;
  std::string number;
};

// The seven header fields (SIZE the number of pairs, three digits), then the pairs.
std::vector<std::string> MakePacket(const PacketHeader& header, const Pairs& pairs);

// Degrees, minutes and seconds as the terminals write them: "+51 26 28.70" (two degree
// digits) and "+005 28 40.12" (three).
std::string LatitudeText(double degrees);
std::string LongitudeText(double degrees);

// The value of body key `key` in the fields of MakePacket; nothing when absent.
const std::string* FindPair(const std::vector<std::string>& fields, const std::string& key);

}  // namespace dorvek::fleet
