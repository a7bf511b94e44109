// SPDX-License-Identifier: GPL-2.0-or-later
// The trace file: one line per open, close, request and sleep, each line one
// write to a file opened with O_APPEND, so that processes may share it.
#pragma once

#include <cstdint>
#include <string>

namespace cardsim::trace {

// Replaces the trace file; "" or what went wrong. An empty path stops tracing.
std::string open(const std::string& path);
bool on();
// "<seconds with nine decimals> <event>". A line that cannot be written is
// said on standard error, once per trace file, as a lost write.

void line(uint64_t at_ns, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Says on standard error that the simulator lost a write (`text`), and
// tells cardsim, whose exit status then is not 0.
void lost_write(const std::string& text);

}  // namespace cardsim::trace
