// SPDX-License-Identifier: GPL-2.0-or-later
#include "interpose_libc.h"

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace cardsim::libc {

namespace {
std::atomic<int> g_resolving{0};
}

void* resolve(std::atomic<void*>& slot, const char* name)
{
    void* f = slot.load(std::memory_order_acquire);
    if (f || g_resolving.load(std::memory_order_acquire) > 0)
        return f;
    g_resolving.fetch_add(1);
    f = dlsym(RTLD_NEXT, name);
    g_resolving.fetch_sub(1);
    slot.store(f, std::memory_order_release);
    return f;
}

int sys_openat(int dirfd, const char* path, int flags, mode_t mode)
{
    return int(syscall(SYS_openat, dirfd, path, flags, mode));
}

int sys_close(int fd) { return int(syscall(SYS_close, fd)); }

}  // namespace cardsim::libc
