// SPDX-License-Identifier: GPL-2.0-or-later
#include "interpose_libc.h"

#include <dlfcn.h>

namespace cardsim::libc {

namespace {
// Only this thread's own lookup may call back into the interposer: another
// thread's lookup under way is no reason to answer nothing.
__thread bool t_resolving __attribute__((tls_model("initial-exec"))) = false;
}

void* resolve(std::atomic<void*>& slot, const char* name)
{
    void* f = slot.load(std::memory_order_acquire);
    if (f || t_resolving)
        return f;
    t_resolving = true;
    f = dlsym(RTLD_NEXT, name);
    t_resolving = false;
    if (f)
        slot.store(f, std::memory_order_release);
    return f;
}

}  // namespace cardsim::libc
