#pragma once

namespace loopback {

// One line on standard error, prefixed with the runtime's name. The runtime
// has no log of its own: it is a library loaded into other programs.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace loopback
