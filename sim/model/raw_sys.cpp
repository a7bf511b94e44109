// SPDX-License-Identifier: GPL-2.0-or-later
#include "raw_sys.h"

#include "config.h"

#include <poll.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace cardsim::raw {

int sys_openat(int dirfd, const char* path, int flags, mode_t mode)
{
    return int(syscall(SYS_openat, dirfd, path, flags, mode));
}

int sys_close(int fd) { return int(syscall(SYS_close, fd)); }

ssize_t sys_readlinkat(int dirfd, const char* path, char* buf, size_t size)
{
    return ssize_t(syscall(SYS_readlinkat, dirfd, path, buf, size));
}

uint64_t monotonic_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * ns_per_second + uint64_t(ts.tv_nsec);
}

void pause_ns(uint64_t ns)
{
    struct timespec ts = {time_t(ns / ns_per_second), long(ns % ns_per_second)};
    ppoll(nullptr, 0, &ts, nullptr);
}

}  // namespace cardsim::raw
