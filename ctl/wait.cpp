// SPDX-License-Identifier: GPL-2.0-or-later
// A node that another program holds: who holds it, as /proc shows it, and
// --wait's tries until it is free or the time is up.
#include "ravelinctl.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace ctl {

namespace {

// The pause between two tries, in milliseconds.
constexpr int wait_pause_ms = 250;
static_assert(1000 % wait_pause_ms == 0, "the progress line shows whole seconds paused");

bool all_digits(const char* s)
{
    if (!*s)
        return false;
    for (; *s; ++s)
        if (!std::isdigit((unsigned char)*s))
            return false;
    return true;
}

// What stat says the node is: a device by its number, anything else by its inode.
struct node_identity {
    bool known = false;
    bool device = false;
    dev_t rdev = 0, dev = 0;
    ino_t ino = 0;
};

node_identity identity_of(const std::string& path)
{
    node_identity id;
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return id;
    id.known = true;
    id.device = S_ISCHR(st.st_mode);
    id.rdev = st.st_rdev;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    return id;
}

// Whether the descriptor link is the node: by the name it shows, else by what it opens.
bool same_node(const std::string& link, const std::string& path, const node_identity& node)
{
    char target[4096];
    const ssize_t n = readlink(link.c_str(), target, sizeof target);
    if (n > 0 && std::size_t(n) < sizeof target && std::string(target, std::size_t(n)) == path)
        return true;
    struct stat st;
    if (!node.known || stat(link.c_str(), &st) != 0)
        return false;
    if (node.device)
        return S_ISCHR(st.st_mode) && st.st_rdev == node.rdev;
    return !S_ISCHR(st.st_mode) && st.st_dev == node.dev && st.st_ino == node.ino;
}

// Whether /proc says the descriptor was opened for writing; true where it does not say.
bool opened_for_writing(const std::string& pid, const char* fd)
{
    std::ifstream info("/proc/" + pid + "/fdinfo/" + fd);
    std::string key;
    unsigned long flags = 0;
    while (info >> key)
        if (key == "flags:" && (info >> std::oct >> flags))
            return (flags & O_ACCMODE) != O_RDONLY;
    return true;
}

// The command name, its bytes shown as the tool shows bytes, control bytes as \xNN.
std::string command_of(const std::string& pid)
{
    std::ifstream in("/proc/" + pid + "/comm", std::ios::binary);
    std::string comm;
    std::getline(in, comm);
    std::string safe;
    for (unsigned char c : comm) {
        char escape[5];
        std::snprintf(escape, sizeof escape, "\\x%02x", c);
        safe += c < 0x20 || c == 0x7f ? std::string(escape) : std::string(1, char(c));
    }
    return shown_text(safe);
}

std::string joined(const std::vector<std::string>& holders)
{
    std::string t;
    for (std::size_t i = 0; i < holders.size(); ++i)
        t += (i == 0 ? "" : i + 1 == holders.size() ? " and " : ", ") + holders[i];
    return t;
}

void pause_ms(int ms)
{
    timespec t{ms / 1000, long(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

}  // namespace

std::vector<std::string> node_holders(const std::string& path, bool* self_holds)
{
    const node_identity node = identity_of(path);
    const std::string self = std::to_string(getpid());
    std::vector<std::string> writers, readers;
    if (self_holds)
        *self_holds = false;
    DIR* proc = opendir("/proc");
    if (!proc)
        return {};
    while (dirent* d = readdir(proc)) {
        if (!all_digits(d->d_name))
            continue;
        const std::string pid = d->d_name, fds = "/proc/" + pid + "/fd";
        DIR* fd = opendir(fds.c_str());
        if (!fd)
            continue;  // gone, or not ours to look at
        bool writes = false, has = false;
        while (dirent* f = readdir(fd)) {
            if (!all_digits(f->d_name) || !same_node(fds + "/" + f->d_name, path, node))
                continue;
            has = true;
            writes = writes || opened_for_writing(pid, f->d_name);
        }
        closedir(fd);
        if (has && pid == self && self_holds)
            *self_holds = true;
        else if (has && pid != self)
            (writes ? writers : readers).push_back("process " + pid + " (" + command_of(pid) + ")");
    }
    closedir(proc);
    // The node admits one writer: that is the one that keeps it busy, where /proc tells them apart.
    return writers.empty() ? readers : writers;
}

std::string busy_fix(const std::string& path)
{
    bool self_holds = false;
    const std::vector<std::string> holders = node_holders(path, &self_holds);
    if (holders.empty() && self_holds)
        return "ravelinctl itself holds it, on a descriptor it was started with: start it without that descriptor";
    if (holders.empty())
        return "another program has it open: end that program and try again";
    return joined(holders) + (holders.size() == 1 ? " has it open: end it" : " have it open: end them") +
           " and try again";
}

int open_waiting(const std::string& path, int flags, int wait_seconds, progress_line& progress)
{
    const long limit_ms = long(wait_seconds) * 1000;
    std::string who;  // the holders, looked for once, for the progress line
    for (long paused = 0;; paused += wait_pause_ms) {
        const int fd = ::open(path.c_str(), flags);
        if (fd >= 0 || errno != EBUSY || paused >= limit_ms) {
            const int error = errno;
            if (progress.shown)
                std::fputc('\n', stderr);
            progress.shown = false;
            errno = error;
            return fd;
        }
        // Each whole second, on one line of standard error.
        if (progress.enabled && paused % 1000 == 0) {
            if (who.empty()) {
                const std::vector<std::string> holders = node_holders(path);
                who = holders.empty() ? "another program" : joined(holders);
            }
            std::fprintf(stderr, "\rwaiting for %s to let go of %s: %ld s of %d s ", who.c_str(),
                         shown_text(path).c_str(), paused / 1000, wait_seconds);
            std::fflush(stderr);
            progress.shown = true;
        }
        pause_ms(wait_pause_ms);
    }
}

}  // namespace ctl
