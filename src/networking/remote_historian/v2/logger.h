#pragma once

#include "networking/event_base/logger.h"

namespace networking::remote_historian::v2 {

// The module's one logger.
inline event_base::Logger &logger() {
  static event_base::Logger &instance =
      event_base::get_logger("networking.remote_historian.v2.event_historian_processor");
  return instance;
}

} // namespace networking::remote_historian::v2
