#pragma once

#include <optional>
#include <string>

#include "metrics/server.h"
#include "networking/remote_historian/v2/event_historian_processor.h"
#include "redis/connection.h"

namespace host {

// Exit statuses of the program.
constexpr int kExitClean = 0;
constexpr int kExitStartFailure = 1; // Redis unreachable, output not writable, ...
constexpr int kExitUsage = 2;        // a bad or unknown option, a bad value
constexpr int kExitDataLoss = 3;     // stopped, but rows were dropped or a final file is missing

// Constructs one processor, checks that its Redis server answers PING within redis_timeout
// (before anything is written), awaits init and start; the first SIGTERM, SIGINT or SIGHUP
// stops it gracefully and later ones are absorbed, so the shutdown always completes, within
// about the time-out when Redis does not answer. Every Redis command gets redis_timeout.
// With metrics_address, serves /metrics and /healthz there from before the probe until the
// stop is over; an address that cannot be bound is a start-up failure.
// Returns the process exit status.
int run_until_signalled(networking::remote_historian::v2::ProcessorOptions options,
                        redis::Connection::Clock::duration redis_timeout,
                        const std::optional<metrics::ListenAddress> &metrics_address = {});

// A new directory of its own under $TMPDIR (or /tmp), for files staged before an upload.
// Throws std::runtime_error when none can be made.
std::string make_staging_directory();

} // namespace host
