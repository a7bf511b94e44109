// SPDX-License-Identifier: GPL-2.0-or-later
#include "state.h"

#include "raw_sys.h"

#include <cerrno>
#include <cstring>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cardsim {

namespace {

const char* const entry_names[] = {"eeprom", "registers", "flash", "eeprom.lock", "unknown"};

}  // namespace

void card_state::forget_descriptors()
{
    // The descriptors stay open in the child, but the program may reuse their numbers: stop using them.
    eeprom_.forget();
    lock_.forget();
    folder_.forget();
}

std::string card_state::check_entries()
{
    for (const char* name : entry_names) {
        struct stat st;
        if (fstatat(folder_.fd(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            return describe_error("cannot reach " + path(name), errno);
        }
        if (S_ISLNK(st.st_mode))
            return "unsafe state: " + path(name) +
                   " is a symbolic link, which cardsim never follows; remove it, or use a folder of your own";
        if (!strcmp(name, "registers") || !strcmp(name, "unknown"))
            continue;  // read below, which names what is wrong
        if (!S_ISREG(st.st_mode))
            return "corrupt state: " + path(name) +
                   " is not a file (remove it or run cardsim --reset to make a new card)";
        if (!strcmp(name, "eeprom") && st.st_size != eeprom_size)
            return "corrupt state: " + path(name) + " has " + std::to_string((long long)st.st_size) +
                   " bytes, not 256 (remove the folder or run cardsim --reset to make a new card)";
        if (!strcmp(name, "flash") && st.st_size != flash_size)
            return "corrupt state: " + path(name) + " has " + std::to_string((long long)st.st_size) +
                   " bytes, not 4194304 (4 MiB) (run cardsim --reset to make a new card)";
    }
    saved_registers r;
    std::string err = load_registers(r);
    if (!err.empty())
        return err;
    std::vector<std::string> unknown;
    return load_unknown(unknown);
}

std::string card_state::check()
{
    if (folder_.missing())
        return "";  // no card yet
    std::string err = folder_.open(false);
    return err.empty() ? check_entries() : err;
}

std::string card_state::prepare(const unsigned char factory[eeprom_size])
{
    std::string err = check();
    if (!err.empty())
        return err;
    if (!(err = folder_.open(true)).empty())
        return err;
    if (!lock_.lock(LOCK_EX, err))
        return err;
    {
        unlock_at_exit unlock(lock_);
        struct stat st;
        if (fstatat(folder_.fd(), "eeprom", &st, AT_SYMLINK_NOFOLLOW) != 0)
            err = errno == ENOENT ? eeprom_.write_factory(factory) : describe_error("cannot reach " + path("eeprom"), errno);
    }
    // An EEPROM the caller cannot read and write is refused now, not at the first request.
    if (err.empty() && !eeprom_.is_open())
        err = eeprom_.open();
    return err;
}

std::string card_state::reset(const unsigned char factory[eeprom_size])
{
    std::string err = folder_.open(true);
    if (!err.empty() || !lock_.lock(LOCK_EX, err))
        return err;
    unlock_at_exit unlock(lock_);
    err = eeprom_.write_factory(factory);
    for (const char* name : {"flash", "registers", "unknown"}) {
        if (err.empty() && unlinkat(folder_.fd(), name, 0) != 0 && errno != ENOENT)
            err = describe_error("cannot remove " + path(name), errno);
    }
    return err;
}

bool card_state::read_image(const char* name, size_t size, std::vector<unsigned char>& out)
{
    if (folder_.missing()) {
        errno = ENOENT;
        return false;
    }
    if (!folder_.open(false).empty()) {
        errno = EACCES;
        return false;
    }
    int fd = open_regular(folder_.fd(), name, O_RDONLY);
    if (fd < 0)
        return false;
    std::string bytes;
    bool ok = read_fd(fd, bytes, size + 1);
    int e = errno;
    close_fd(fd);
    if (!ok || bytes.size() != size) {
        errno = ok ? EINVAL : e;
        return false;
    }
    out.assign(bytes.begin(), bytes.end());
    return true;
}

std::string card_state::node_lock_name(unsigned adapter, unsigned frontend)
{
    return "adapter" + std::to_string(adapter) + "-frontend" + std::to_string(frontend) + ".lock";
}

int card_state::open_node_lock(unsigned adapter, unsigned frontend, int flags, std::string& err)
{
    if (!(err = folder_.open(false)).empty())
        return -1;
    std::string name = node_lock_name(adapter, frontend);
    int fd = raw::sys_openat(folder_.fd(), name.c_str(), O_RDONLY | O_CREAT | state_open_flags, 0600);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close_fd(fd);
        fd = -1;
        err = "corrupt state: " + path(name.c_str()) + " is not a file (remove it)";
        return -1;
    }
    if (fd < 0) {
        err = errno == ELOOP ? "unsafe state: " + path(name.c_str()) +
                                   " is a symbolic link, which cardsim never follows; remove it"
                             : describe_error("cannot open " + path(name.c_str()), errno);
        return -1;
    }
    if (st.st_uid == geteuid())
        make_private(fd, 0600);
    // The node's descriptor keeps the program's own O_CLOEXEC and O_NONBLOCK.
    if (!(flags & O_CLOEXEC))
        fcntl(fd, F_SETFD, 0);
    if (!(flags & O_NONBLOCK))
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

}  // namespace cardsim
