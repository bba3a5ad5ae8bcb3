#pragma once
// A guarded step of a handler: its failure is a warning with the failure's own text,
// the rest of that step is skipped, and the handler goes on with its next step. What a
// handler does outside such steps is not guarded: a failure there ends the packet.

#include <exception>
#include <utility>

#include "core/event_log.h"

namespace dorvek::inbound {

template <typename Step>
void RunGuarded(core::EventLog& log, Step&& step) {
  try {
    std::forward<Step>(step)();
  } catch (const std::exception& e) {
    log.Warning(e.what());
  }
}

}  // namespace dorvek::inbound
