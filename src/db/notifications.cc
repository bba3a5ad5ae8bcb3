#include "db/notifications.h"

#include <exception>
#include <string>

#include "core/codepage.h"

namespace dorvek::db {

void Berichtmaken(Database& db, core::EventLog& log, int status, int type, std::string_view text,
                  long long vehicle) {
  try {
    db.Insert("StatusMeldingen",
              {{"mel_status", static_cast<long long>(status)},
               {"mel_actief", 1LL},
               {"mel_type", static_cast<long long>(type)},
               {"mel_opmerking", core::Utf8Truncate(text, kNotificationTextWidth)},
               {"mel_wagen", vehicle}});
  } catch (const std::exception& e) {
    log.Warning(e.what());
  } catch (...) {
    log.Warning("Unknown failure while writing a notification");
  }
}

}  // namespace dorvek::db
