#include "networking/event_base/settings.h"

namespace networking::event_base {

Settings &settings() {
  static Settings instance;
  return instance;
}

} // namespace networking::event_base
