// SPDX-License-Identifier: GPL-2.0-or-later
// The system calls and the clock that the simulator uses for itself, beneath
// the interposer: it exports open and close, and makes sleeps virtual, so the
// model and the interposer go straight to the kernel and never re-enter them.
#pragma once

#include <cstdint>
#include <sys/types.h>

namespace cardsim::raw {

int sys_openat(int dirfd, const char* path, int flags, mode_t mode = 0);
int sys_close(int fd);
// The text of a link, as readlinkat, which the interposer serves for descriptor links.
ssize_t sys_readlinkat(int dirfd, const char* path, char* buf, size_t size);

// Real time since an arbitrary start, whatever the program's clock.
uint64_t monotonic_ns();
// A real pause (the interposer makes nanosleep virtual; ppoll it leaves alone).
void pause_ns(uint64_t ns);

}  // namespace cardsim::raw
