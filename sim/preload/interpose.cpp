// SPDX-License-Identifier: GPL-2.0-or-later
// libcardsim.so: serves open/close/ioctl on the DVB frontend nodes from the
// card model, shows a node's descriptor as the node, and makes sleeps virtual. Everything else goes to libc.
//
// Loaded with LD_PRELOAD, or linked into a test program whose own calls it then
// serves. It may be entered from the dynamic loader's early phase, from several
// threads at once and from a forked child, so: no static objects that need
// constructing, and raw system calls when libc's own function is not known
// yet. libc's functions are looked up once at load, before the program's
// threads start. This file holds only the exported entry points; the units
// interpose_* do the work.

#include "cardsim_api.h"
#include "interpose_clock.h"
#include "interpose_fds.h"
#include "interpose_libc.h"
#include "raw_sys.h"
#include "interpose_serve.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#define CARDSIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace cardsim;

using open_t = int (*)(const char*, int, ...);
using openat_t = int (*)(int, const char*, int, ...);
using open2_t = int (*)(const char*, int);
using openat2_t = int (*)(int, const char*, int);
using creat_t = int (*)(const char*, mode_t);
using fopen_t = FILE* (*)(const char*, const char*);
using close_t = int (*)(int);
using dup2_t = int (*)(int, int);
using dup3_t = int (*)(int, int, int);
using ioctl_t = int (*)(int, unsigned long, ...);
using nanosleep_t = int (*)(const struct timespec*, struct timespec*);
using clock_nanosleep_t = int (*)(clockid_t, int, const struct timespec*, struct timespec*);
using sleep_t = unsigned (*)(unsigned);
using usleep_t = int (*)(useconds_t);
using readlink_t = ssize_t (*)(const char*, char*, size_t);
using readlinkat_t = ssize_t (*)(int, const char*, char*, size_t);
using readlink_chk_t = ssize_t (*)(const char*, char*, size_t, size_t);
using readlinkat_chk_t = ssize_t (*)(int, const char*, char*, size_t, size_t);

CARDSIM_REAL(open, open_t)
CARDSIM_REAL(open64, open_t)
CARDSIM_REAL(openat, openat_t)
CARDSIM_REAL(openat64, openat_t)
CARDSIM_REAL(__open_2, open2_t)
CARDSIM_REAL(__open64_2, open2_t)
CARDSIM_REAL(__openat_2, openat2_t)
CARDSIM_REAL(__openat64_2, openat2_t)
CARDSIM_REAL(creat, creat_t)
CARDSIM_REAL(creat64, creat_t)
CARDSIM_REAL(fopen, fopen_t)
CARDSIM_REAL(fopen64, fopen_t)
CARDSIM_REAL(close, close_t)
CARDSIM_REAL(dup2, dup2_t)
CARDSIM_REAL(dup3, dup3_t)
CARDSIM_REAL(ioctl, ioctl_t)
CARDSIM_REAL(__ioctl_time64, ioctl_t)
CARDSIM_REAL(nanosleep, nanosleep_t)
CARDSIM_REAL(clock_nanosleep, clock_nanosleep_t)
CARDSIM_REAL(sleep, sleep_t)
CARDSIM_REAL(usleep, usleep_t)
CARDSIM_REAL(readlink, readlink_t)
CARDSIM_REAL(readlinkat, readlinkat_t)
CARDSIM_REAL(__readlink_chk, readlink_chk_t)
CARDSIM_REAL(__readlinkat_chk, readlinkat_chk_t)
#if defined(__i386__)
struct timespec64 {
    long long tv_sec;
    int tv_nsec;
    int padding;
};
using nanosleep64_t = int (*)(const timespec64*, timespec64*);
using clock_nanosleep64_t = int (*)(clockid_t, int, const timespec64*, timespec64*);
CARDSIM_REAL(__nanosleep64, nanosleep64_t)
CARDSIM_REAL(__clock_nanosleep_time64, clock_nanosleep64_t)
#endif

// Every lookup at load: one thread's first fopen must not meet another's first lookup.
__attribute__((constructor)) void resolve_at_load()
{
    real_open(), real_open64(), real_openat(), real_openat64();
    real___open_2(), real___open64_2(), real___openat_2(), real___openat64_2();
    real_creat(), real_creat64(), real_fopen(), real_fopen64();
    real_close(), real_dup2(), real_dup3(), real_ioctl();
    real_nanosleep(), real_clock_nanosleep(), real_sleep(), real_usleep();
    real_readlink(), real_readlinkat(), real___readlink_chk(), real___readlinkat_chk();
#if defined(__i386__)
    real___ioctl_time64(), real___nanosleep64(), real___clock_nanosleep_time64();
#endif
}

int fail(int err)
{
    errno = err;
    return -1;
}

mode_t mode_of(int flags, va_list ap)
{
    return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? mode_t(va_arg(ap, int)) : 0;
}

// Every open: the card's paths are served (or refused) here and never reach the system.
template <typename Real, typename... Args>
int do_open(int dirfd, const char* path, int flags, mode_t mode, Real real, Args... args)
{
    int result;
    if (serve::open(dirfd, path, flags, result))
        return result;
    if (real)
        return fds::forget_stale(real(args...));
    return fds::forget_stale(raw::sys_openat(dirfd, path, flags, mode));
}

// A node inherited across exec is known once the settings are read: before
// the first request on a descriptor it does not know, the interposer reads them.
bool is_node(int fd)
{
    if (fds::is_node(fd))
        return true;
    if (serve::ready())
        return false;
    serve::ensure_ready();
    return fds::is_node(fd);
}

int do_ioctl(int fd, unsigned long request, void* arg, ioctl_t real)
{
    if (is_node(fd))
        return serve::ioctl(fd, uint32_t(request), arg);
    if (real)
        return real(fd, request, arg);
    return int(syscall(SYS_ioctl, fd, request, arg));
}

int fopen_flags(const char* mode)
{
    if (!mode)
        return O_RDONLY;
    bool plus = false;
    for (const char* m = mode; *m && *m != ','; ++m)
        plus |= *m == '+';
    return mode[0] == 'r' && !plus ? O_RDONLY : O_RDWR;
}

FILE* do_fopen(const char* path, const char* mode, fopen_t real)
{
    int fd;
    if (serve::open(AT_FDCWD, path, fopen_flags(mode), fd)) {
        if (fd < 0)
            return nullptr;
        // The node reads like the lock file it is; stdio cannot write to a DVB node anyway.
        FILE* f = fdopen(fd, "r");
        if (!f) {
            int e = errno;
            serve::closed(fd);
            raw::sys_close(fd);
            errno = e;
        }
        return f;
    }
    if (!real) {
        errno = ENOSYS;
        return nullptr;
    }
    FILE* f = real(path, mode);
    if (f)
        fds::forget_stale(fileno(f));
    return f;
}

}  // namespace

// ---- opens ----

CARDSIM_EXPORT int open(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_of(flags, ap);
    va_end(ap);
    return do_open(AT_FDCWD, path, flags, mode, real_open(), path, flags, mode);
}

CARDSIM_EXPORT int open64(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_of(flags, ap);
    va_end(ap);
    return do_open(AT_FDCWD, path, flags, mode, real_open64(), path, flags, mode);
}

CARDSIM_EXPORT int openat(int dirfd, const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_of(flags, ap);
    va_end(ap);
    return do_open(dirfd, path, flags, mode, real_openat(), dirfd, path, flags, mode);
}

CARDSIM_EXPORT int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_of(flags, ap);
    va_end(ap);
    return do_open(dirfd, path, flags, mode, real_openat64(), dirfd, path, flags, mode);
}

// What _FORTIFY_SOURCE builds call.
CARDSIM_EXPORT int __open_2(const char* path, int flags)
{
    return do_open(AT_FDCWD, path, flags, 0, real___open_2(), path, flags);
}

CARDSIM_EXPORT int __open64_2(const char* path, int flags)
{
    return do_open(AT_FDCWD, path, flags, 0, real___open64_2(), path, flags);
}

CARDSIM_EXPORT int __openat_2(int dirfd, const char* path, int flags)
{
    return do_open(dirfd, path, flags, 0, real___openat_2(), dirfd, path, flags);
}

CARDSIM_EXPORT int __openat64_2(int dirfd, const char* path, int flags)
{
    return do_open(dirfd, path, flags, 0, real___openat64_2(), dirfd, path, flags);
}

CARDSIM_EXPORT int creat(const char* path, mode_t mode)
{
    return do_open(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode, real_creat(), path, mode);
}

CARDSIM_EXPORT int creat64(const char* path, mode_t mode)
{
    return do_open(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode, real_creat64(), path, mode);
}

CARDSIM_EXPORT FILE* fopen(const char* path, const char* mode) { return do_fopen(path, mode, real_fopen()); }

CARDSIM_EXPORT FILE* fopen64(const char* path, const char* mode) { return do_fopen(path, mode, real_fopen64()); }

// ---- descriptors ----

CARDSIM_EXPORT int close(int fd)
{
    serve::closed(fd);
    if (auto real = real_close())
        return real(fd);
    return raw::sys_close(fd);
}

// dup2 and dup3 close their target silently: a node there is closed.
CARDSIM_EXPORT int dup2(int oldfd, int newfd)
{
    if (oldfd != newfd && fcntl(oldfd, F_GETFD) >= 0)
        serve::closed(newfd);
    if (auto real = real_dup2())
        return real(oldfd, newfd);
    if (oldfd == newfd)
        return fcntl(oldfd, F_GETFD) < 0 ? -1 : newfd;
    return int(syscall(SYS_dup3, oldfd, newfd, 0));
}

CARDSIM_EXPORT int dup3(int oldfd, int newfd, int flags)
{
    if (oldfd != newfd && fcntl(oldfd, F_GETFD) >= 0)
        serve::closed(newfd);
    if (auto real = real_dup3())
        return real(oldfd, newfd, flags);
    return int(syscall(SYS_dup3, oldfd, newfd, flags));
}

CARDSIM_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return do_ioctl(fd, request, arg, real_ioctl());
}

// What a 32-bit program built with 64-bit time calls instead of ioctl.
CARDSIM_EXPORT int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return do_ioctl(fd, request, arg, real___ioctl_time64());
}

// ---- descriptor links ----

// A node's descriptor is its lock file; /proc/PID/fd/N shows the node, as on a card.
CARDSIM_EXPORT ssize_t readlink(const char* path, char* buf, size_t size)
{
    ssize_t result;
    if (serve::readlink(AT_FDCWD, path, buf, size, result))
        return result;
    if (auto real = real_readlink())
        return real(path, buf, size);
    return raw::sys_readlinkat(AT_FDCWD, path, buf, size);
}

CARDSIM_EXPORT ssize_t readlinkat(int dirfd, const char* path, char* buf, size_t size)
{
    ssize_t result;
    if (serve::readlink(dirfd, path, buf, size, result))
        return result;
    if (auto real = real_readlinkat())
        return real(dirfd, path, buf, size);
    return raw::sys_readlinkat(dirfd, path, buf, size);
}

// What _FORTIFY_SOURCE builds call; a buffer smaller than said is libc's to refuse.
CARDSIM_EXPORT ssize_t __readlink_chk(const char* path, char* buf, size_t size, size_t buf_size)
{
    ssize_t result;
    if (size <= buf_size && serve::readlink(AT_FDCWD, path, buf, size, result))
        return result;
    if (auto real = real___readlink_chk())
        return real(path, buf, size, buf_size);
    return size <= buf_size ? raw::sys_readlinkat(AT_FDCWD, path, buf, size) : fail(EFAULT);
}

CARDSIM_EXPORT ssize_t __readlinkat_chk(int dirfd, const char* path, char* buf, size_t size, size_t buf_size)
{
    ssize_t result;
    if (size <= buf_size && serve::readlink(dirfd, path, buf, size, result))
        return result;
    if (auto real = real___readlinkat_chk())
        return real(dirfd, path, buf, size, buf_size);
    return size <= buf_size ? raw::sys_readlinkat(dirfd, path, buf, size) : fail(EFAULT);
}

// ---- sleeps ----

namespace {

// The card's settings say whether sleeps are virtual: read them before the first one.
bool sleep_virtually(uint64_t ns)
{
    serve::ensure_ready();
    return vclock::sleep(ns);
}

}  // namespace

CARDSIM_EXPORT unsigned sleep(unsigned seconds)
{
    if (sleep_virtually(uint64_t(seconds) * 1000000000ull))
        return 0;
    if (auto real = real_sleep())
        return real(seconds);
    struct timespec ts = {time_t(seconds), 0};
    return syscall(SYS_nanosleep, &ts, nullptr) == 0 ? 0 : seconds;
}

CARDSIM_EXPORT int usleep(useconds_t usec)
{
    if (sleep_virtually(uint64_t(usec) * 1000))
        return 0;
    if (auto real = real_usleep())
        return real(usec);
    struct timespec ts = {time_t(usec / 1000000), long(usec % 1000000) * 1000};
    return int(syscall(SYS_nanosleep, &ts, nullptr));
}

CARDSIM_EXPORT int nanosleep(const struct timespec* req, struct timespec* rem)
{
    if (!req)
        return fail(EFAULT);
    if (!vclock::valid(req->tv_sec, req->tv_nsec))
        return fail(EINVAL);
    if (sleep_virtually(vclock::to_ns(req->tv_sec, req->tv_nsec)))
        return 0;
    if (auto real = real_nanosleep())
        return real(req, rem);
    return int(syscall(SYS_nanosleep, req, rem));
}

CARDSIM_EXPORT int clock_nanosleep(clockid_t clock, int flags, const struct timespec* req, struct timespec* rem)
{
    if (req && vclock::is_virtual_clock(clock)) {
        if (!vclock::valid(req->tv_sec, req->tv_nsec))
            return EINVAL;
        if (sleep_virtually(vclock::duration(clock, flags, req->tv_sec, req->tv_nsec)))
            return 0;
    }
    if (auto real = real_clock_nanosleep())
        return real(clock, flags, req, rem);
    long r = syscall(SYS_clock_nanosleep, clock, flags, req, rem);
    return r < 0 ? errno : 0;
}

#if defined(__i386__)
// The 64-bit-time entry points of a 32-bit libc.

CARDSIM_EXPORT int __nanosleep64(const struct timespec64* req, struct timespec64* rem)
{
    if (!req)
        return fail(EFAULT);
    if (!vclock::valid(req->tv_sec, req->tv_nsec))
        return fail(EINVAL);
    if (sleep_virtually(vclock::to_ns(req->tv_sec, req->tv_nsec)))
        return 0;
    if (auto real = real___nanosleep64())
        return real(req, rem);
    return fail(ENOSYS);
}

CARDSIM_EXPORT int __clock_nanosleep_time64(clockid_t clock, int flags, const struct timespec64* req,
                                            struct timespec64* rem)
{
    if (req && vclock::is_virtual_clock(clock)) {
        if (!vclock::valid(req->tv_sec, req->tv_nsec))
            return EINVAL;
        if (sleep_virtually(vclock::duration(clock, flags, req->tv_sec, req->tv_nsec)))
            return 0;
    }
    if (auto real = real___clock_nanosleep_time64())
        return real(clock, flags, req, rem);
    return ENOSYS;
}
#endif

// ---- in-process API ----

CARDSIM_EXPORT int cardsim_reload(void) { return serve::reload(); }

CARDSIM_EXPORT unsigned long long cardsim_now_ns(void)
{
    serve::ensure_ready();
    return vclock::now();
}

// What cardsim looks for to tell its interposer from any other library.
CARDSIM_EXPORT const char* cardsim_interposer_version(void) { return CARDSIM_VERSION; }
