// SPDX-License-Identifier: GPL-2.0-or-later
#include "interpose_trace.h"

#include "config.h"
#include "interpose_libc.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cardsim::trace {

namespace {
std::atomic<int> g_fd{-1};
std::atomic<bool> g_lost{false};  // a line was lost, and that was said
std::string g_path;               // set while tracing is off
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
    int old = g_fd.exchange(-1);
    if (old >= 0)
        libc::sys_close(old);
    if (path.empty())
        return "";
    // A link someone planted where the trace goes is not followed.
    int fd = libc::sys_openat(AT_FDCWD, path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
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
    ssize_t written = write(fd, text, size_t(n));
    // A full or failing disk loses the line: said once, never silently.
    if (written != n && !g_lost.exchange(true)) {
        int e = written < 0 ? errno : ENOSPC;
        lost_write("cannot write the trace file " + g_path + ": " + strerror(e) + " (" + strerrorname_np(e) +
                   "); the trace misses lines from here on");
    }
}

}  // namespace cardsim::trace
