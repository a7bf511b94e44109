// SPDX-License-Identifier: GPL-2.0-or-later
#include "interpose_fds.h"

#include "raw_sys.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

namespace cardsim::fds {

namespace {
// 0: not a node; else the card's number plus one.
std::atomic<uint16_t> g_node[max_fd];
}

bool is_node(int fd) { return fd >= 0 && fd < max_fd && g_node[fd].load(std::memory_order_relaxed) != 0; }

void mark_node(int fd, unsigned card)
{
    if (fd >= 0 && fd < max_fd)
        g_node[fd].store(uint16_t(card + 1));
}

unsigned card_of(int fd)
{
    unsigned mark = fd >= 0 && fd < max_fd ? g_node[fd].load(std::memory_order_relaxed) : 0;
    return mark ? mark - 1 : 0;
}

bool forget(int fd) { return fd >= 0 && fd < max_fd && g_node[fd].exchange(0) != 0; }

int forget_stale(int fd)
{
    if (is_node(fd))
        g_node[fd].store(0);
    return fd;
}

bool lock_file_node(const char* target, const std::string& folder_real, unsigned& adapter, unsigned& frontend)
{
    const std::string base = folder_real + "/";
    char tail;
    if (strncmp(target, base.c_str(), base.size()) != 0 ||
        sscanf(target + base.size(), "adapter%u-frontend%u.lock%c", &adapter, &frontend, &tail) != 2)
        return false;
    return std::string(target + base.size()) ==
           "adapter" + std::to_string(adapter) + "-frontend" + std::to_string(frontend) + ".lock";
}

void adopt_inherited(const std::string& state_dir, unsigned card)
{
    char dir_real[PATH_MAX];
    if (!realpath(state_dir.c_str(), dir_real))
        return;
    DIR* fds = opendir("/proc/self/fd");
    if (!fds)
        return;
    while (struct dirent* e = readdir(fds)) {
        char* end;
        long fd = strtol(e->d_name, &end, 10);
        if (*end || end == e->d_name || fd < 0 || fd >= max_fd || fd == dirfd(fds))
            continue;
        // The link's own text: the interposer shows a node's as the node.
        char link[PATH_MAX + 1];
        ssize_t n = raw::sys_readlinkat(dirfd(fds), e->d_name, link, PATH_MAX);
        if (n <= 0)
            continue;
        link[n] = '\0';
        unsigned adapter, frontend;
        if (lock_file_node(link, dir_real, adapter, frontend))
            mark_node(int(fd), card);
    }
    closedir(fds);
}

}  // namespace cardsim::fds
