#pragma once

#include "networking/remote_historian/v2/event_historian_processor.h"

namespace host {

// Constructs one processor, checks that its Redis server answers (before anything is written),
// awaits init and start; the first SIGTERM or SIGINT stops it gracefully and later ones are
// absorbed, so the shutdown always completes. Returns the process exit status.
int run_until_signalled(networking::remote_historian::v2::ProcessorOptions options);

} // namespace host
