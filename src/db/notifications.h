#pragma once
// Operator notifications: rows of StatusMeldingen that the dispatchers' software shows.

#include <string_view>

#include "core/event_log.h"
#include "db/database.h"

namespace dorvek::db {

inline constexpr int kNotificationTextWidth = 100;

// Writes one notification: mel_status, mel_actief 1, mel_type, mel_opmerking (the text
// cut to 100 characters) and mel_wagen (0 for the service itself), in that order; the
// database supplies the other columns. Opens the connection when it is closed. One
// statement, so a failure writes nothing; the failure is logged as a warning with its
// own text. Never throws.
void Berichtmaken(Database& db, core::EventLog& log, int status, int type, std::string_view text,
                  long long vehicle);

}  // namespace dorvek::db
