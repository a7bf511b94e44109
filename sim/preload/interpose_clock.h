// SPDX-License-Identifier: GPL-2.0-or-later
// The card's clock: virtual time that sleeps and requests advance, or the
// monotonic clock since the start with real time.
#pragma once

#include <cstdint>
#include <ctime>

namespace cardsim::vclock {

// Back to 0 (with real time: the monotonic clock's zero is now).
void reset(bool virtual_time, uint64_t request_ns);
bool is_virtual();
uint64_t now();
// The time at which a request is served; the clock then moves on by its cost.
uint64_t request();

// Serves a sleep of ns in virtual time and returns true, or returns false
// when sleeps take real time; traces it either way. The caller has read the
// card's settings first (serve::ensure_ready), which say which time it is.
bool sleep(uint64_t ns);

bool valid(long long sec, long nsec);
uint64_t to_ns(long long sec, long nsec);
bool is_virtual_clock(clockid_t clock);
// The relative duration of a clock_nanosleep request; 0 for a time already past.
uint64_t duration(clockid_t clock, int flags, long long sec, long nsec);

}  // namespace cardsim::vclock
