#include "db/lan_notices.h"

#include <exception>

#include "core/codepage.h"
#include "db/lan_notice.h"

namespace dorvek::db {

void SendUDPDorvek(UdpSender& sender, core::EventLog& log, std::string_view key_utf8, int kind,
                   std::string_view computer, const core::DateTime& time,
                   std::string_view identity, std::string_view detail) {
  try {
    const std::string plain =
        core::Utf8ToCp1252(BuildNoticeText(kind, time, computer, identity, detail));
    sender.Send(XorCipher(plain, core::Utf8ToCp1252(key_utf8)));
  } catch (const std::exception& e) {
    log.Warning(e.what());
  } catch (...) {
    log.Warning("LAN notice not sent: unknown failure");
  }
}

}  // namespace dorvek::db
