// SPDX-License-Identifier: GPL-2.0-or-later
#include "state_lock.h"

#include "config.h"
#include "raw_sys.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace cardsim {

namespace {

std::string seconds_text(uint64_t ns)
{
    char buf[32];
    if (ns % ns_per_second == 0)
        snprintf(buf, sizeof buf, "%llu s", (unsigned long long)(ns / ns_per_second));
    else
        snprintf(buf, sizeof buf, "%.3f s", double(ns) / double(ns_per_second));
    return buf;
}

}  // namespace

uint64_t lock_wait_from_env()
{
    uint64_t ns = lock_wait_ns;
    const char* v = getenv("CARDSIM_LOCK_WAIT");
    if (v && !parse_seconds(v, ns).empty())
        ns = lock_wait_ns;
    return ns;
}

bool card_lock::open(std::string& err)
{
    fd_ = raw::sys_openat(folder_.fd(), "eeprom.lock", O_RDWR | O_CREAT | state_open_flags, 0600);
    struct stat st;
    if (fd_ >= 0 && (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || !make_private(fd_, 0600))) {
        close_fd(fd_);
        fd_ = -1;
        errno = EINVAL;
    }
    if (fd_ < 0) {
        err = errno == ELOOP ? "unsafe state: " + path_ + " is a symbolic link, which cardsim never follows; remove it"
                             : describe_error("cannot open the lock file " + path_, errno);
        return false;
    }
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    return true;
}

// Who holds the lock, as the kernel lists it: " by process N", or "" when it does not say.
std::string card_lock::holder() const
{
    int fd = raw::sys_openat(AT_FDCWD, "/proc/locks", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    std::string text;
    bool ok = read_fd(fd, text, 1 << 20);
    close_fd(fd);
    std::string pids;
    for (size_t start = 0; ok && start < text.size();) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        char type[16], kind[16], mode[16];
        int pid;
        unsigned maj, min;
        unsigned long long ino;
        // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a waiter's line has "->" and does not match.
        if (sscanf(line.c_str(), "%*d: %15s %15s %15s %d %x:%x:%llu", type, kind, mode, &pid, &maj, &min, &ino) != 7 ||
            ino != (unsigned long long)ino_ || maj != major(dev_) || min != minor(dev_) || pid <= 0)
            continue;
        std::string p = std::to_string(pid);
        if ((" " + pids + ",").find(" " + p + ",") == std::string::npos)
            pids += (pids.empty() ? "" : ", ") + p;
    }
    if (pids.empty())
        return "";
    return (pids.find(',') == std::string::npos ? " by process " : " by processes ") + pids;
}

// Takes the lock within the bound, in real time, backing off from a few
// yields to pauses of up to 20 ms (the lock is held for microseconds).
bool card_lock::wait(int how, std::string& err)
{
    uint64_t start = 0, pause = 20000;
    for (unsigned tries = 0;; ++tries) {
        if (flock(fd_, how | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            err = describe_error("cannot lock " + path_, errno);
            return false;
        }
        if (tries < 8) {
            sched_yield();
            continue;
        }
        uint64_t now = raw::monotonic_ns();
        if (start == 0)
            start = now;
        if (now - start >= wait_ns_) {
            err = "the card's lock " + path_ + " is held" + holder() + " and was not released within " +
                  seconds_text(wait_ns_) + ": the request fails (is that program stopped, with Ctrl-Z or in a debugger?)";
            return false;
        }
        raw::pause_ns(std::min(pause, wait_ns_ - (now - start)));
        pause = std::min<uint64_t>(pause * 2, 20000000);
    }
}

bool card_lock::lock(int how, std::string& err)
{
    for (int attempt = 0;; ++attempt) {
        if (fd_ < 0 && !open(err))
            return false;
        if (!wait(how, err))
            return false;
        // A reader only needs the EEPROM's look at its path (eeprom_file::follow),
        // which tells a folder moved as well: reads lose no write.
        if (how == LOCK_SH)
            return true;
        // One look through the whole path: it reaches the locked file only while
        // neither the folder nor its lock file was moved, removed or replaced.
        struct stat st;
        if (lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_)
            return true;
        unlock();
        if (folder_.moved()) {
            err = folder_.moved_message();
            return false;
        }
        // A lock file removed or replaced is locked by no one else: take the one at the path.
        close_fd(fd_);
        fd_ = -1;
        if (attempt == 3) {
            err = "the lock file " + path_ + " keeps changing while the program runs";
            return false;
        }
    }
}

void card_lock::unlock() { flock(fd_, LOCK_UN); }

}  // namespace cardsim
