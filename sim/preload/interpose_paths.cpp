// SPDX-License-Identifier: GPL-2.0-or-later
#include "interpose_paths.h"

#include "raw_sys.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace cardsim::paths {

namespace {

constexpr unsigned dvb_major = 212;

// "." and ".." and repeated slashes resolved by the text alone.
std::string normalise(const std::string& path)
{
    std::string out;
    size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && path[i] == '/')
            ++i;
        size_t end = path.find('/', i);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(i, end - i);
        i = end;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            size_t slash = out.rfind('/');
            out.erase(slash == std::string::npos ? 0 : slash);
            continue;
        }
        out += "/" + part;
    }
    return out.empty() ? "/" : out;
}

// Decimal digits without a leading zero, as the kernel names the nodes.
bool number(const char*& p, unsigned& out)
{
    if (*p < '0' || *p > '9' || (p[0] == '0' && p[1] >= '0' && p[1] <= '9'))
        return false;
    unsigned long v = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
        if (++digits > 9)
            return false;
        v = v * 10 + unsigned(*p++ - '0');
    }
    out = unsigned(v);
    return true;
}

path_kind dvb_name(const std::string& path, unsigned& adapter, unsigned& frontend)
{
    static const char prefix[] = "/dev/dvb/adapter";
    if (path == "/dev/dvb")
        return path_kind::folder;
    if (path.compare(0, sizeof prefix - 1, prefix) != 0)
        return path_kind::dvb;
    const char* p = path.c_str() + sizeof prefix - 1;
    if (!number(p, adapter))
        return path_kind::dvb;
    if (*p == '\0')
        return path_kind::folder;
    if (strncmp(p, "/frontend", 9) != 0)
        return path_kind::dvb;
    p += 9;
    return number(p, frontend) && *p == '\0' ? path_kind::node : path_kind::dvb;
}

// A DVB device under another name (a link, a copy made with mknod): looked at
// without opening the device itself.
bool is_dvb_device(int dirfd, const char* path, int flags)
{
    int fd = raw::sys_openat(dirfd, path, O_PATH | O_CLOEXEC | (flags & O_NOFOLLOW), 0);
    if (fd < 0)
        return false;
    struct stat st;
    bool dvb = fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) == dvb_major;
    raw::sys_close(fd);
    return dvb;
}

}  // namespace

bool folder_of(int dirfd, char (&base)[PATH_MAX])
{
    ssize_t n = -1;
    if (dirfd == AT_FDCWD) {
        if (getcwd(base, sizeof base))
            n = ssize_t(strlen(base));
    } else {
        char link[40];
        snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
        n = raw::sys_readlinkat(AT_FDCWD, link, base, sizeof base - 1);
    }
    if (n <= 0)
        return false;
    base[n] = '\0';
    return true;
}

path_kind classify(int dirfd, const char* path, int flags, unsigned& adapter, unsigned& frontend)
{
    if (!path || !*path)
        return path_kind::other;
    std::string full;
    if (path[0] == '/') {
        if (!strstr(path, "dvb"))
            return is_dvb_device(dirfd, path, flags) ? path_kind::dvb : path_kind::other;
        full = path;
    } else {
        char base[PATH_MAX];
        if (!folder_of(dirfd, base))
            return is_dvb_device(dirfd, path, flags) ? path_kind::dvb : path_kind::other;
        full = std::string(base) + "/" + path;
    }
    std::string norm = normalise(full);
    if (norm == "/dev/dvb" || norm.compare(0, 9, "/dev/dvb/") == 0)
        return dvb_name(norm, adapter, frontend);
    return is_dvb_device(dirfd, path, flags) ? path_kind::dvb : path_kind::other;
}

bool maybe_card(int dirfd, const char* path, int flags)
{
    if (!path || !*path)
        return false;
    if (strstr(path, "dvb"))
        return true;
    if (path[0] != '/') {
        char base[PATH_MAX];
        if (!folder_of(dirfd, base))
            return true;  // cannot tell: keep it from the system
        if (strstr(base, "dvb"))
            return true;
    }
    return is_dvb_device(dirfd, path, flags);
}

}  // namespace cardsim::paths
