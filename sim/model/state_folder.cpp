// SPDX-License-Identifier: GPL-2.0-or-later
#include "state_folder.h"

#include "raw_sys.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace cardsim {

std::string describe_error(const std::string& what, int err) { return what + ": " + strerror(err); }

void close_fd(int fd)
{
    if (fd >= 0)
        raw::sys_close(fd);
}

bool write_all(int fd, const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

bool read_fd(int fd, std::string& out, size_t limit)
{
    out.clear();
    char buf[512];
    while (out.size() < limit) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        out.append(buf, size_t(n));
    }
    return true;
}

bool make_private(int fd, mode_t mode)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    return (st.st_mode & 07777) == mode || fchmod(fd, mode) == 0;
}

int open_regular(int dirfd, const char* name, int flags)
{
    int fd = raw::sys_openat(dirfd, name, flags | state_open_flags);
    if (fd < 0)
        return -1;
    struct stat st;
    int e = 0;
    if (fstat(fd, &st) != 0)
        e = errno;
    else if (!S_ISREG(st.st_mode))
        e = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    if (e) {
        close_fd(fd);
        errno = e;
        return -1;
    }
    return fd;
}

std::string parent_folder(const std::string& dir)
{
    size_t last = dir.find_last_not_of('/');
    size_t slash = last == std::string::npos ? std::string::npos : dir.rfind('/', last);
    if (slash == std::string::npos)
        return last == std::string::npos ? "/" : ".";
    size_t end = dir.find_last_not_of('/', slash);
    return end == std::string::npos ? "/" : dir.substr(0, end + 1);
}

std::string missing_parent_message(const std::string& dir)
{
    std::string parent = parent_folder(dir);
    return "cannot make the state folder " + dir + ": the folder " + parent +
           " does not exist (cardsim makes only the last folder of the path; make " + parent +
           " first, or use another folder)";
}

state_folder::~state_folder() { close_fd(fd_); }

// Makes the folder when `create`: what is made is private; parents only for cardsim's own default folder.
std::string state_folder::make(bool create)
{
    if (!create)
        return "";
    size_t first = make_parents_ ? dir_.find('/', 1) : std::string::npos;
    for (size_t pos = first;; pos = dir_.find('/', pos + 1)) {
        std::string partial = dir_.substr(0, pos);
        if (!partial.empty() && mkdir(partial.c_str(), 0700) == 0) {
            int fd = raw::sys_openat(AT_FDCWD, partial.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd >= 0) {
                make_private(fd, 0700);
                close_fd(fd);
            }
        } else if (!partial.empty() && errno != EEXIST) {
            if (errno == ENOENT && pos == std::string::npos)
                return missing_parent_message(dir_);
            return describe_error("cannot create the state folder " + dir_, errno);
        }
        if (pos == std::string::npos)
            return "";
    }
}

std::string state_folder::open(bool create)
{
    if (fd_ >= 0)
        return "";
    std::string err = make(create);
    if (!err.empty())
        return err;
    int fd = raw::sys_openat(AT_FDCWD, dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOTDIR)
            return "the state folder " + dir_ + " is not a folder";
        return describe_error("cannot reach the state folder " + dir_, errno);
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int e = errno;
        close_fd(fd);
        return describe_error("cannot reach the state folder " + dir_, e);
    }
    if (st.st_uid != geteuid()) {
        close_fd(fd);
        return "unsafe state folder " + dir_ + ": it belongs to another user (uid " + std::to_string(st.st_uid) +
               "), who could make cardsim write where they choose; use a folder of your own, e.g. "
               "--state ~/.local/state/cardsim";
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        close_fd(fd);
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        return "unsafe state folder " + dir_ + ": group or others may write in it (mode " + mode +
               "); run chmod go-w on it, or use a folder of your own";
    }
    fd_ = fd;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    return "";
}

bool state_folder::missing() const
{
    struct stat st;
    return fd_ < 0 && stat(dir_.c_str(), &st) != 0 && errno == ENOENT;
}

bool state_folder::moved() const
{
    struct stat st;
    return !(stat(dir_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_);
}

std::string state_folder::moved_message() const
{
    return "the state folder " + dir_ +
           " was moved, removed or replaced while the program ran: the request fails (nothing is written into a "
           "folder that nobody sees)";
}

int state_folder::make_temp(const char* name, std::string& tmp)
{
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        char suffix[48];
        snprintf(suffix, sizeof suffix, ".tmp.%d.%08lx", int(getpid()),
                 (unsigned long)(ts.tv_nsec ^ (long(++counter) << 20)) & 0xffffffffUL);
        tmp = std::string(name) + suffix;
        int fd = raw::sys_openat(fd_, tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | state_open_flags, 0600);
        if (fd >= 0 || errno != EEXIST) {
            if (fd >= 0 && !make_private(fd, 0600)) {
                int e = errno;
                close_fd(fd);
                unlinkat(fd_, tmp.c_str(), 0);
                errno = e;
                return -1;
            }
            return fd;
        }
    }
    return -1;
}

std::string state_folder::replace_file(const char* name, const void* data, size_t size)
{
    std::string tmp;
    int fd = make_temp(name, tmp);
    if (fd < 0)
        return describe_error("cannot make a temporary file beside " + path(name), errno);
    bool ok = write_all(fd, data, size);
    int e = errno;
    close_fd(fd);
    if (!ok || renameat(fd_, tmp.c_str(), fd_, name) != 0) {
        e = ok ? errno : e;
        unlinkat(fd_, tmp.c_str(), 0);
        return describe_error("cannot write " + path(name), e);
    }
    return "";
}

}  // namespace cardsim
