#include "inbound/form_replies.h"

namespace dorvek::inbound {

Outcome HandleFormReplies(const HandlerParts&, const PacketContext&) { return Outcome::kNext; }

}  // namespace dorvek::inbound
