// SPDX-License-Identifier: GPL-2.0-or-later
// libc's own functions behind the ones the interposer exports; while the
// dynamic loader cannot name them yet, the callers make the system calls
// themselves (raw_sys.h).
#pragma once

#include <atomic>

namespace cardsim::libc {

// dlsym(RTLD_NEXT, name), cached in slot; nullptr while this thread's own
// lookup is under way (dlsym may call back into the interposer), and the
// caller makes the system call. The interposer resolves every name once at
// load, before the program's threads start.
void* resolve(std::atomic<void*>& slot, const char* name);

}  // namespace cardsim::libc

// Defines real_NAME(), libc's NAME as a `type` pointer, or nullptr.
#define CARDSIM_REAL(name, type)                                           \
    type real_##name()                                                     \
    {                                                                      \
        static std::atomic<void*> slot{nullptr};                           \
        return reinterpret_cast<type>(cardsim::libc::resolve(slot, #name)); \
    }
