// SPDX-License-Identifier: GPL-2.0-or-later
#include "interpose_trace.h"

#include "config.h"
#include "raw_sys.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace cardsim::trace {

namespace {
std::atomic<int> g_fd{-1};
}

std::string open(const std::string& path)
{
    int old = g_fd.exchange(-1);
    if (old >= 0)
        raw::sys_close(old);
    if (path.empty())
        return "";
    // A link someone planted where the trace goes is not followed.
    int fd = raw::sys_openat(AT_FDCWD, path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return "cannot open the trace file " + path + ": " +
               (errno == ELOOP ? std::string("it is a symbolic link (give the file itself)") : strerror(errno));
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
    ssize_t ignored = write(fd, text, size_t(n));
    (void)ignored;
}

}  // namespace cardsim::trace
