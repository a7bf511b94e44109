// SPDX-License-Identifier: GPL-2.0-or-later
// The process's card: its settings from CARDSIM_*, its state folder and
// model, and serving the node opens and the driver's four requests. One mutex
// guards the card; no path takes it twice, and nothing done under it calls the
// interposer's own exported functions. A call from a signal handler that
// interrupted its thread inside the card fails with EINTR instead of waiting
// for itself; running out of memory fails the call with EIO.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace cardsim::serve {

// Reads the settings on first use.
void ensure_ready();
// The settings are read.
bool ready();

// For an open of a DVB path: true, and the call's result in `result` (a node
// descriptor, or -1 with errno). False for a path that is not the card's.
bool open(int dirfd, const char* path, int flags, int& result);

int ioctl(int fd, uint32_t request, void* arg);

// For readlink of a descriptor's link in /proc (/proc/PID/fd/N, also of a
// task, and /dev/fd/N) that is a served node's lock file: true, and the
// node's path in buf, cut at size as readlink cuts, its length in `result`.
// False for any other link: the system answers it.
bool readlink(int dirfd, const char* path, char* buf, size_t size, ssize_t& result);

// A node's descriptor is closed (close, or dup2/dup3 onto it).
void closed(int fd);

int reload();

}  // namespace cardsim::serve
