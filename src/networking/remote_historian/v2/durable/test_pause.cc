#include "networking/remote_historian/v2/durable/test_pause.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "networking/remote_historian/v2/logger.h"

namespace networking::remote_historian::v2 {

void _test_pause(const char *point) {
  static const long pause_ms = [] {
    const char *text = std::getenv("HISTORIAN_TEST_PAUSE_MS");
    return text ? std::strtol(text, nullptr, 10) : 0L;
  }();
  if (pause_ms <= 0)
    return;
  logger().debug("[EventHistorian] Test pause in %s", point);
  std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
}

} // namespace networking::remote_historian::v2
