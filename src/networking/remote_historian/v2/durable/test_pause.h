#pragma once

namespace networking::remote_historian::v2 {

// Pauses at a named point inside a write (a part file, the checkpoint, the final merge) for
// the milliseconds given by the environment variable HISTORIAN_TEST_PAUSE_MS, logging one
// debug line first, so that a crash test can kill the process right there. Without the
// variable it does nothing.
void _test_pause(const char *point);

} // namespace networking::remote_historian::v2
