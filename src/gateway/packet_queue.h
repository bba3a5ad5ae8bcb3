#pragma once
// A packet queue: appended at the end, taken from the head. The inbound queue holds
// received packets, the outbound queue complete packets waiting to be sent; both as
// UTF-8 text, converted where bytes enter and leave the service.

#include <deque>
#include <string>

namespace dorvek::gateway {

using PacketQueue = std::deque<std::string>;

}  // namespace dorvek::gateway
