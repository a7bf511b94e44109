// SPDX-License-Identifier: GPL-2.0-or-later
#include "interpose_trace.h"

#include "config.h"
#include "raw_sys.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cardsim::trace {

namespace {
std::atomic<int> g_fd{-1};
std::atomic<bool> g_lost{false};  // a line was lost, and that was said
std::string g_path;               // set while tracing is off
dev_t g_dev;                      // the trace file that g_fd is
ino_t g_ino;
std::mutex g_reopen;

// Whether the descriptor is still the trace file: a program may close its
// number, or put a file of its own there (dup2, exec 3>file).
bool ours(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_dev == g_dev && st.st_ino == g_ino;
}

int open_trace(const std::string& path)
{
    // A link someone planted where the trace goes is not followed.
    int fd = raw::sys_openat(AT_FDCWD, path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0) {
        g_dev = st.st_dev;
        g_ino = st.st_ino;
    }
    return fd;
}

// The trace's descriptor, opened again when the program took its number; -1
// (and said) when it cannot be.
int trace_fd(int fd)
{
    if (ours(fd))
        return fd;
    std::unique_lock<std::mutex> lock(g_reopen, std::try_to_lock);
    if (!lock.owns_lock())
        return -1;
    fd = g_fd.load();
    if (fd < 0 || ours(fd))
        return fd;
    int again = open_trace(g_path);
    int e = errno;
    g_fd.store(again);
    if (again < 0) {
        errno = e;
        return -1;
    }
    return again;
}
}

void lost_write(const std::string& text)
{
    std::string line = "cardsim: " + text + "\n";
    ssize_t ignored = write(2, line.data(), line.size());
    // cardsim's exit status tells it too.
    // The descriptor may have been closed and its number reused on the way:
    // only a non-blocking datagram socket, as cardsim made it, is told.
    if (const char* fd = getenv(lost_write_variable); fd && *fd) {
        char* end;
        long n = strtol(fd, &end, 10);
        struct stat st;
        int type = 0;
        socklen_t size = sizeof type;
        int flags = *end == '\0' && n >= 0 && n <= INT_MAX ? fcntl(int(n), F_GETFL) : -1;
        if (flags >= 0 && (flags & O_NONBLOCK) && fstat(int(n), &st) == 0 && S_ISSOCK(st.st_mode) &&
            getsockopt(int(n), SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_DGRAM)
            ignored = send(int(n), "!", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    (void)ignored;
}

std::string open(const std::string& path)
{
    std::lock_guard<std::mutex> lock(g_reopen);
    int old = g_fd.exchange(-1);
    if (old >= 0 && ours(old))
        raw::sys_close(old);
    if (path.empty())
        return "";
    int fd = open_trace(path);
    if (fd < 0)
        return "cannot open the trace file " + path + ": " +
               (errno == ELOOP ? std::string("it is a symbolic link (give the file itself)") : strerror(errno));
    g_path = path;
    g_lost.store(false);
    g_fd.store(fd);
    return "";
}

bool on() { return g_fd.load(std::memory_order_relaxed) >= 0; }

void line(uint64_t at_ns, const char* format, ...)
{
    int fd = g_fd.load(std::memory_order_relaxed);
    if (fd < 0)
        return;
    char text[256];
    int n = snprintf(text, sizeof text, "%llu.%09llu ", (unsigned long long)(at_ns / ns_per_second),
                     (unsigned long long)(at_ns % ns_per_second));
    va_list ap;
    va_start(ap, format);
    n += vsnprintf(text + n, sizeof text - size_t(n) - 1, format, ap);
    va_end(ap);
    if (n > int(sizeof text) - 2)
        n = int(sizeof text) - 2;
    text[n++] = '\n';
    errno = EBADF;
    fd = trace_fd(fd);
    ssize_t written = fd < 0 ? -1 : write(fd, text, size_t(n));
    // A full or failing disk loses the line: said once, never silently.
    if (written != n && !g_lost.exchange(true)) {
        int e = written < 0 ? errno : ENOSPC;
        lost_write("cannot write the trace file " + g_path + ": " + strerror(e) + " (" + strerrorname_np(e) +
                   "); the trace misses lines from here on");
    }
}

}  // namespace cardsim::trace
