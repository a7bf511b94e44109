// SPDX-License-Identifier: GPL-2.0-or-later
// In-process use of the simulated card, for programs that link libcardsim.so.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Re-reads the CARDSIM_* environment, makes the card's volatile state new
// (mailbox, busy timer, flash latches) and sets the clock back to 0.
// Returns 0; or -1 when CARDSIM_STATE is not set, or a variable is malformed
// (the reason goes to standard error): no card is served then, and the
// process's opens reach the real system.
int cardsim_reload(void);

// The card's clock in nanoseconds: virtual time, or real time since the start
// (or the last cardsim_reload) with CARDSIM_VTIME=0.
unsigned long long cardsim_now_ns(void);

#ifdef __cplusplus
}
#endif
