// SPDX-License-Identifier: GPL-2.0-or-later
#include "interpose_fds.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

namespace cardsim::fds {

namespace {
std::atomic<bool> g_node[max_fd];
}

bool is_node(int fd) { return fd >= 0 && fd < max_fd && g_node[fd].load(std::memory_order_relaxed); }

void mark_node(int fd)
{
    if (fd >= 0 && fd < max_fd)
        g_node[fd].store(true);
}

bool forget(int fd) { return fd >= 0 && fd < max_fd && g_node[fd].exchange(false); }

int forget_stale(int fd)
{
    if (is_node(fd))
        g_node[fd].store(false);
    return fd;
}

void adopt_inherited(const std::string& state_dir)
{
    char dir_real[PATH_MAX];
    if (!realpath(state_dir.c_str(), dir_real))
        return;
    DIR* fds = opendir("/proc/self/fd");
    if (!fds)
        return;
    std::string base = std::string(dir_real) + "/";
    while (struct dirent* e = readdir(fds)) {
        char* end;
        long fd = strtol(e->d_name, &end, 10);
        if (*end || end == e->d_name || fd < 0 || fd >= max_fd || fd == dirfd(fds))
            continue;
        char link[PATH_MAX + 1];
        ssize_t n = readlinkat(dirfd(fds), e->d_name, link, PATH_MAX);
        if (n <= 0)
            continue;
        link[n] = '\0';
        unsigned adapter, frontend;
        char tail;
        if (strncmp(link, base.c_str(), base.size()) != 0 ||
            sscanf(link + base.size(), "adapter%u-frontend%u.lock%c", &adapter, &frontend, &tail) != 2)
            continue;
        if (std::string(link + base.size()) !=
            "adapter" + std::to_string(adapter) + "-frontend" + std::to_string(frontend) + ".lock")
            continue;
        mark_node(int(fd));
    }
    closedir(fds);
}

}  // namespace cardsim::fds
