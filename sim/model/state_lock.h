// SPDX-License-Identifier: GPL-2.0-or-later
// The card's lock across processes: the lock file eeprom.lock in the state
// folder, shared to read the card and exclusive to change it.
#pragma once

#include "state_folder.h"

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace cardsim {

// How long a process waits for the card's lock before the request fails: a
// program stopped while it holds the lock (Ctrl-Z, a debugger) must not stop
// every other one. CARDSIM_LOCK_WAIT (seconds) shortens it for tests.
constexpr uint64_t lock_wait_ns = 5000000000ull;
uint64_t lock_wait_from_env();

class card_lock {
public:
    card_lock(const state_folder& folder, uint64_t wait_ns)
        : folder_(folder), path_(folder.path("eeprom.lock")), wait_ns_(wait_ns)
    {
    }
    ~card_lock() { close_fd(fd_); }
    card_lock(const card_lock&) = delete;
    card_lock& operator=(const card_lock&) = delete;

    // Takes the lock (LOCK_SH or LOCK_EX) within the wait, in the open folder. False and `err` set.
    bool lock(int how, std::string& err);
    void unlock();
    // Drops the descriptor inherited over fork so that the child takes its own.
    void forget() { fd_ = -1; }

private:
    bool open(std::string& err);
    bool wait(int how, std::string& err);
    std::string holder() const;

    const state_folder& folder_;
    std::string path_;
    uint64_t wait_ns_;
    int fd_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

// Unlocks when the scope ends, also when an allocation throws: the card's lock is never left held.
class unlock_at_exit {
public:
    explicit unlock_at_exit(card_lock& lock) : lock_(lock) {}
    ~unlock_at_exit() { lock_.unlock(); }
    unlock_at_exit(const unlock_at_exit&) = delete;
    unlock_at_exit& operator=(const unlock_at_exit&) = delete;

private:
    card_lock& lock_;
};

}  // namespace cardsim
