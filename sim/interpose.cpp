// libcardsim.so: serves open/close/ioctl on the listed DVB frontend nodes from
// the card model, and makes sleeps virtual. Everything else goes to libc.
//
// Loaded with LD_PRELOAD, or linked into a test program whose own calls it then
// serves. It may be entered from the dynamic loader's early phase, from several
// threads at once and from a forked child, so: no static constructors, one
// mutex around the card, never held while sleeping, and raw system calls when
// libc's own function is not known yet.

#include "card.h"
#include "cardsim_api.h"
#include "config.h"
#include "state.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <memory>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "zebecp3-spi.h"

#define CARDSIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace cardsim;

// The driver's four requests, as the card access library names them.
constexpr uint32_t kRegRead = REG_READ, kRegWrite = REG_WRITE;
constexpr uint32_t kWindowRead = WINDOW_READ, kWindowWrite = WINDOW_WRITE;
constexpr unsigned kWindowBase = WINDOW_BASE;

// ---- libc's functions ----

std::atomic<int> g_resolving{0};

// dlsym may itself call back into us while the loader is still starting: then
// the caller gets nullptr and makes the system call directly.
void* resolve(std::atomic<void*>& slot, const char* name)
{
    void* f = slot.load(std::memory_order_acquire);
    if (f || g_resolving.load(std::memory_order_acquire) > 0)
        return f;
    g_resolving.fetch_add(1);
    f = dlsym(RTLD_NEXT, name);
    g_resolving.fetch_sub(1);
    slot.store(f, std::memory_order_release);
    return f;
}

#define REAL(name, type)                                          \
    type real_##name()                                            \
    {                                                             \
        static std::atomic<void*> slot{nullptr};                  \
        return reinterpret_cast<type>(resolve(slot, #name));      \
    }

using open_t = int (*)(const char*, int, ...);
using openat_t = int (*)(int, const char*, int, ...);
using open2_t = int (*)(const char*, int);
using openat2_t = int (*)(int, const char*, int);
using close_t = int (*)(int);
using dup2_t = int (*)(int, int);
using dup3_t = int (*)(int, int, int);
using ioctl_t = int (*)(int, unsigned long, ...);
using nanosleep_t = int (*)(const struct timespec*, struct timespec*);
using clock_nanosleep_t = int (*)(clockid_t, int, const struct timespec*, struct timespec*);
using sleep_t = unsigned (*)(unsigned);
using usleep_t = int (*)(useconds_t);

REAL(open, open_t)
REAL(open64, open_t)
REAL(openat, openat_t)
REAL(openat64, openat_t)
REAL(__open_2, open2_t)
REAL(__open64_2, open2_t)
REAL(__openat_2, openat2_t)
REAL(__openat64_2, openat2_t)
REAL(close, close_t)
REAL(dup2, dup2_t)
REAL(dup3, dup3_t)
REAL(ioctl, ioctl_t)
REAL(__ioctl_time64, ioctl_t)
REAL(nanosleep, nanosleep_t)
REAL(clock_nanosleep, clock_nanosleep_t)
REAL(sleep, sleep_t)
REAL(usleep, usleep_t)

int sys_openat(int dirfd, const char* path, int flags, mode_t mode)
{
    return int(syscall(SYS_openat, dirfd, path, flags, mode));
}

// ---- the process's card ----

constexpr int kMaxFd = 65536;

struct Sim {
    Config config;
    std::unique_ptr<State> state;
    std::unique_ptr<Card> card;
    bool serving = false;       // CARDSIM_STATE set and everything parsed
    bool state_ready = false;   // the state folder checked (at the first open)
    std::string reported;       // the messages already written, so each shows once
};

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
Sim* g_sim = nullptr;                     // guarded by g_mutex, never freed
std::atomic<bool> g_ready{false};         // g_sim made
std::atomic<bool> g_vtime{true};
std::atomic<uint64_t> g_vclock{0};
std::atomic<uint64_t> g_mono_start{0};
std::atomic<int> g_trace_fd{-1};
std::atomic<uint8_t> g_node_fd[kMaxFd];   // 1: the descriptor is a simulated node
int g_lock_fd[kMaxFd];                    // its lock file, or -1; guarded by g_mutex

uint64_t monotonic_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * kNsPerSecond + uint64_t(ts.tv_nsec);
}

uint64_t now_ns()
{
    if (g_vtime.load(std::memory_order_relaxed))
        return g_vclock.load(std::memory_order_relaxed);
    return monotonic_ns() - g_mono_start.load(std::memory_order_relaxed);
}

void say(const std::string& text)
{
    std::string line = "cardsim: " + text + "\n";
    ssize_t ignored = write(2, line.data(), line.size());
    (void)ignored;
}

// Under g_mutex.
void report_once(Sim& sim, const std::string& text)
{
    if (text.empty() || sim.reported.find(text + "\n") != std::string::npos)
        return;
    sim.reported += text + "\n";
    say(text);
}

void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void trace(const char* format, ...)
{
    int fd = g_trace_fd.load(std::memory_order_relaxed);
    if (fd < 0)
        return;
    char line[256];
    uint64_t t = now_ns();
    int n = snprintf(line, sizeof line, "%llu.%09llu ", (unsigned long long)(t / kNsPerSecond),
                     (unsigned long long)(t % kNsPerSecond));
    va_list ap;
    va_start(ap, format);
    n += vsnprintf(line + n, sizeof line - size_t(n) - 1, format, ap);
    va_end(ap);
    if (n > int(sizeof line) - 2)
        n = int(sizeof line) - 2;
    line[n++] = '\n';
    ssize_t ignored = write(fd, line, size_t(n));  // one write per line, O_APPEND
    (void)ignored;
}

void at_fork_prepare() { pthread_mutex_lock(&g_mutex); }
void at_fork_parent() { pthread_mutex_unlock(&g_mutex); }
void at_fork_child()
{
    if (g_sim && g_sim->state)
        g_sim->state->forget_descriptors();
    pthread_mutex_unlock(&g_mutex);
}

// Under g_mutex: node descriptors that this program inherited across exec
// (their lock files, open under the state folder) are nodes here too.
void adopt_inherited_nodes(Sim& sim)
{
    char dir_real[PATH_MAX];
    if (!realpath(sim.config.state.c_str(), dir_real))
        return;
    DIR* fds = opendir("/proc/self/fd");
    if (!fds)
        return;
    while (struct dirent* e = readdir(fds)) {
        char* end;
        long fd = strtol(e->d_name, &end, 10);
        if (*end || end == e->d_name || fd < 0 || fd >= kMaxFd || fd == dirfd(fds))
            continue;
        char link[PATH_MAX + 1];
        ssize_t n = readlinkat(dirfd(fds), e->d_name, link, PATH_MAX);
        if (n <= 0)
            continue;
        link[n] = '\0';
        unsigned adapter, frontend;
        char tail;
        std::string base = std::string(dir_real) + "/";
        if (strncmp(link, base.c_str(), base.size()) != 0 ||
            sscanf(link + base.size(), "adapter%u-frontend%u.lock%c", &adapter, &frontend, &tail) != 2)
            continue;
        if (std::string(link + base.size()) !=
            "adapter" + std::to_string(adapter) + "-frontend" + std::to_string(frontend) + ".lock")
            continue;
        g_lock_fd[fd] = -1;
        g_node_fd[fd].store(1);
    }
    closedir(fds);
}

// Under g_mutex: (re)reads the environment and makes a new card.
int load(Sim& sim)
{
    sim.card.reset();
    sim.state.reset();
    sim.serving = false;
    sim.state_ready = false;
    const char* vt = getenv("CARDSIM_VTIME");
    g_vtime.store(!(vt && strcmp(vt, "0") == 0));
    g_vclock.store(0);
    g_mono_start.store(monotonic_ns());
    int old_trace = g_trace_fd.exchange(-1);
    if (old_trace >= 0)
        close(old_trace);

    const char* state_dir = getenv("CARDSIM_STATE");
    if (!state_dir || !*state_dir)
        return -1;  // nothing to simulate: the process sees the real system
    std::string err = config_from_env(sim.config);
    if (!err.empty()) {
        report_once(sim, err);
        return -1;
    }
    g_vtime.store(sim.config.vtime);
    if (!sim.config.trace.empty()) {
        int fd = sys_openat(AT_FDCWD, sim.config.trace.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            report_once(sim, "cannot open the trace file " + sim.config.trace + ": " + strerror(errno));
        g_trace_fd.store(fd);
    }
    sim.state.reset(new State(sim.config.state));
    sim.card.reset(new Card(sim.config, *sim.state));
    sim.serving = true;
    adopt_inherited_nodes(sim);
    return 0;
}

// The process's card, made on first use. Returns with g_mutex held.
Sim& lock_sim()
{
    pthread_mutex_lock(&g_mutex);
    if (!g_sim) {
        g_sim = new Sim;
        for (int& fd : g_lock_fd)
            fd = -1;
        pthread_atfork(at_fork_prepare, at_fork_parent, at_fork_child);
        load(*g_sim);
        g_ready.store(true);
    }
    return *g_sim;
}

void ensure_ready()
{
    if (!g_ready.load(std::memory_order_acquire)) {
        lock_sim();
        pthread_mutex_unlock(&g_mutex);
    }
}

// "/dev/dvb/adapterA/frontendF" with plain decimal numbers.
bool node_path(const char* path, unsigned& adapter, unsigned& frontend)
{
    static const char prefix[] = "/dev/dvb/adapter";
    if (!path || strncmp(path, prefix, sizeof prefix - 1) != 0)
        return false;
    auto number = [](const char*& p, unsigned& out) {
        if (*p < '0' || *p > '9' || (p[0] == '0' && p[1] >= '0' && p[1] <= '9'))
            return false;
        unsigned v = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9' && digits++ < 4)
            v = v * 10 + unsigned(*p++ - '0');
        out = v;
        return digits <= 3;
    };
    const char* p = path + sizeof prefix - 1;
    if (!number(p, adapter) || strncmp(p, "/frontend", 9) != 0)
        return false;
    p += 9;
    return number(p, frontend) && *p == '\0';
}

// Returns true when the path is a simulated node; then `result` is the call's result.
bool open_node(const char* path, int flags, int& result)
{
    unsigned adapter, frontend;
    if (!node_path(path, adapter, frontend))
        return false;
    Sim& sim = lock_sim();
    if (!sim.serving) {
        pthread_mutex_unlock(&g_mutex);
        return false;
    }
    int err = 0, fd = -1;
    if (!sim.config.lists(adapter, frontend)) {
        err = ENOENT;
    } else if (!sim.state_ready) {
        std::string problem = sim.state->prepare(sim.config.mac);
        if (problem.empty())
            sim.state_ready = true;
        else {
            report_once(sim, problem);
            err = EIO;
        }
    }
    // Like the DVB frontend: one writer at a time, any number of readers. The
    // descriptor is the node's lock file itself, so that the node stays open
    // as long as any copy of it (dup, fork, exec) does, as a device would.
    if (!err) {
        std::string lock_path = sim.state->node_lock_path(adapter, frontend);
        fd = sys_openat(AT_FDCWD, lock_path.c_str(), O_RDONLY | O_CREAT | (flags & O_CLOEXEC), 0666);
        if (fd < 0) {
            report_once(sim, "cannot open " + lock_path + ": " + strerror(errno));
            err = EIO;
        } else if (fd >= kMaxFd) {
            syscall(SYS_close, fd);
            fd = -1;
            err = EMFILE;
        } else if ((flags & O_ACCMODE) != O_RDONLY && flock(fd, LOCK_EX | LOCK_NB) != 0) {
            err = errno == EWOULDBLOCK ? EBUSY : errno;
            syscall(SYS_close, fd);
            fd = -1;
        } else {
            g_lock_fd[fd] = -1;
            g_node_fd[fd].store(1);
        }
    }
    pthread_mutex_unlock(&g_mutex);
    if (err) {
        trace("OPEN %s %s", path, strerrorname_np(err));
        errno = err;
        result = -1;
    } else {
        trace("OPEN %s %d", path, fd);
        result = fd;
    }
    return true;
}

// A descriptor that libc closed behind our back (fclose, dup2) may come back from
// a real open: it is no node any more.
int forget_stale(int fd)
{
    if (fd >= 0 && fd < kMaxFd && g_node_fd[fd].load(std::memory_order_relaxed)) {
        pthread_mutex_lock(&g_mutex);
        g_node_fd[fd].store(0);
        if (g_lock_fd[fd] >= 0)
            syscall(SYS_close, g_lock_fd[fd]);
        g_lock_fd[fd] = -1;
        pthread_mutex_unlock(&g_mutex);
    }
    return fd;
}

bool is_node(int fd) { return fd >= 0 && fd < kMaxFd && g_node_fd[fd].load(std::memory_order_relaxed); }

int fail(int err)
{
    errno = err;
    return -1;
}

int serve_ioctl(uint32_t request, void* arg)
{
    uint64_t now = now_ns();
    uint32_t value = 0;
    int err = 0;
    switch (request) {
    case kRegRead:
    case kRegWrite: {
        auto* r = static_cast<reg_record*>(arg);
        if (!r)
            return fail(EFAULT);
        Sim& sim = lock_sim();
        if (!sim.card) {
            pthread_mutex_unlock(&g_mutex);
            return fail(EIO);
        }
        if (request == kRegRead) {
            err = sim.card->reg_read(r->addr, now, value);
            if (!err)
                r->value = value;
        } else {
            value = r->value;
            err = sim.card->reg_write(r->addr, value, now);
        }
        if (err == EIO)
            report_once(sim, sim.card->error());
        pthread_mutex_unlock(&g_mutex);
        const char* name = request == kRegRead ? "REG_READ" : "REG_WRITE";
        if (err)
            trace("%s 0x%02x %s", name, r->addr, strerrorname_np(err));
        else
            trace("%s 0x%02x 0x%08x", name, r->addr, value);
        return err ? fail(err) : 0;
    }
    case kWindowRead:
    case kWindowWrite: {
        auto* w = static_cast<window_record*>(arg);
        if (!w)
            return fail(EFAULT);
        const char* name = request == kWindowRead ? "WINDOW_READ" : "WINDOW_WRITE";
        if (w->base != kWindowBase) {
            trace("%s 0x%02x BADBASE 0x%08x", name, w->offset, w->base);
            return fail(EINVAL);
        }
        Sim& sim = lock_sim();
        if (!sim.card) {
            pthread_mutex_unlock(&g_mutex);
            return fail(EIO);
        }
        if (request == kWindowRead) {
            err = sim.card->window_read(w->offset, now, value);
            if (!err)
                w->value = value;
        } else {
            value = w->value;
            err = sim.card->window_write(w->offset, value, now);
        }
        if (err == EIO)
            report_once(sim, sim.card->error());
        pthread_mutex_unlock(&g_mutex);
        if (err)
            trace("%s 0x%02x %s", name, w->offset, strerrorname_np(err));
        else
            trace("%s 0x%02x 0x%08x", name, w->offset, value);
        return err ? fail(err) : 0;
    }
    default:
        trace("IOCTL 0x%08x ENOTTY", request);
        return fail(ENOTTY);
    }
}

// ---- virtual time ----

void trace_sleep(uint64_t at, uint64_t ns)
{
    int fd = g_trace_fd.load(std::memory_order_relaxed);
    if (fd < 0)
        return;
    char line[80];
    int n = snprintf(line, sizeof line, "%llu.%09llu SLEEP %llu.%09llu\n", (unsigned long long)(at / kNsPerSecond),
                     (unsigned long long)(at % kNsPerSecond), (unsigned long long)(ns / kNsPerSecond),
                     (unsigned long long)(ns % kNsPerSecond));
    ssize_t ignored = write(fd, line, size_t(n));
    (void)ignored;
}

// True when the sleep was virtual (and is over).
bool virtual_sleep(uint64_t ns)
{
    ensure_ready();
    if (!g_vtime.load(std::memory_order_relaxed)) {
        trace_sleep(now_ns(), ns);
        return false;
    }
    uint64_t at = g_vclock.fetch_add(ns);
    trace_sleep(at, ns);
    return true;
}

bool valid(long long sec, long nsec) { return sec >= 0 && nsec >= 0 && nsec < 1000000000L; }

uint64_t to_ns(long long sec, long nsec)
{
    if (uint64_t(sec) >= kForever / kNsPerSecond)
        return kForever / 2;
    return uint64_t(sec) * kNsPerSecond + uint64_t(nsec);
}

bool virtual_clock(clockid_t clock)
{
    return clock == CLOCK_REALTIME || clock == CLOCK_MONOTONIC || clock == CLOCK_BOOTTIME || clock == CLOCK_TAI;
}

// The relative duration of a clock_nanosleep request; 0 for a time already past.
uint64_t duration(clockid_t clock, int flags, long long sec, long nsec)
{
    uint64_t ns = to_ns(sec, nsec);
    if (!(flags & TIMER_ABSTIME))
        return ns;
    struct timespec now;
    clock_gettime(clock, &now);
    uint64_t current = to_ns(now.tv_sec, now.tv_nsec);
    return ns > current ? ns - current : 0;
}

int do_open(const char* path, int flags, mode_t mode, int dirfd, bool at, void* real)
{
    int result;
    if ((!at || dirfd == AT_FDCWD || (path && path[0] == '/')) && open_node(path, flags, result))
        return result;
    if (real) {
        if (at)
            return forget_stale(reinterpret_cast<openat_t>(real)(dirfd, path, flags, mode));
        return forget_stale(reinterpret_cast<open_t>(real)(path, flags, mode));
    }
    return forget_stale(sys_openat(at ? dirfd : AT_FDCWD, path, flags, mode));
}

mode_t mode_of(int flags, va_list ap)
{
    return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? mode_t(va_arg(ap, int)) : 0;
}

int do_ioctl(int fd, unsigned long request, void* arg, ioctl_t real)
{
    if (is_node(fd))
        return serve_ioctl(uint32_t(request), arg);
    if (real)
        return real(fd, request, arg);
    return int(syscall(SYS_ioctl, fd, request, arg));
}

}  // namespace

// ---- the interposed functions ----

CARDSIM_EXPORT int open(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_of(flags, ap);
    va_end(ap);
    return do_open(path, flags, mode, AT_FDCWD, false, reinterpret_cast<void*>(real_open()));
}

CARDSIM_EXPORT int open64(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_of(flags, ap);
    va_end(ap);
    return do_open(path, flags, mode, AT_FDCWD, false, reinterpret_cast<void*>(real_open64()));
}

CARDSIM_EXPORT int openat(int dirfd, const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_of(flags, ap);
    va_end(ap);
    return do_open(path, flags, mode, dirfd, true, reinterpret_cast<void*>(real_openat()));
}

CARDSIM_EXPORT int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_of(flags, ap);
    va_end(ap);
    return do_open(path, flags, mode, dirfd, true, reinterpret_cast<void*>(real_openat64()));
}

CARDSIM_EXPORT int __open_2(const char* path, int flags)
{
    int result;
    if (open_node(path, flags, result))
        return result;
    if (auto real = real___open_2())
        return forget_stale(real(path, flags));
    return forget_stale(sys_openat(AT_FDCWD, path, flags, 0));
}

CARDSIM_EXPORT int __open64_2(const char* path, int flags)
{
    int result;
    if (open_node(path, flags, result))
        return result;
    if (auto real = real___open64_2())
        return forget_stale(real(path, flags));
    return forget_stale(sys_openat(AT_FDCWD, path, flags, 0));
}

CARDSIM_EXPORT int __openat_2(int dirfd, const char* path, int flags)
{
    int result;
    if ((dirfd == AT_FDCWD || (path && path[0] == '/')) && open_node(path, flags, result))
        return result;
    if (auto real = real___openat_2())
        return forget_stale(real(dirfd, path, flags));
    return forget_stale(sys_openat(dirfd, path, flags, 0));
}

CARDSIM_EXPORT int __openat64_2(int dirfd, const char* path, int flags)
{
    int result;
    if ((dirfd == AT_FDCWD || (path && path[0] == '/')) && open_node(path, flags, result))
        return result;
    if (auto real = real___openat64_2())
        return forget_stale(real(dirfd, path, flags));
    return forget_stale(sys_openat(dirfd, path, flags, 0));
}

namespace {
void drop_node(int fd)
{
    if (!is_node(fd))
        return;
    pthread_mutex_lock(&g_mutex);
    g_node_fd[fd].store(0);
    if (g_lock_fd[fd] >= 0)
        syscall(SYS_close, g_lock_fd[fd]);
    g_lock_fd[fd] = -1;
    pthread_mutex_unlock(&g_mutex);
    trace("CLOSE %d", fd);
}
}  // namespace

CARDSIM_EXPORT int close(int fd)
{
    drop_node(fd);
    if (auto real = real_close())
        return real(fd);
    return int(syscall(SYS_close, fd));
}

// dup2 and dup3 close their target silently: a node there is closed.
CARDSIM_EXPORT int dup2(int oldfd, int newfd)
{
    if (oldfd != newfd && fcntl(oldfd, F_GETFD) >= 0)
        drop_node(newfd);
    if (auto real = real_dup2())
        return real(oldfd, newfd);
    if (oldfd == newfd)
        return fcntl(oldfd, F_GETFD) < 0 ? -1 : newfd;
    return int(syscall(SYS_dup3, oldfd, newfd, 0));
}

CARDSIM_EXPORT int dup3(int oldfd, int newfd, int flags)
{
    if (oldfd != newfd && fcntl(oldfd, F_GETFD) >= 0)
        drop_node(newfd);
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
    return do_ioctl(fd, request, arg, is_node(fd) ? nullptr : real_ioctl());
}

// What a 32-bit program built with 64-bit time calls instead of ioctl.
CARDSIM_EXPORT int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return do_ioctl(fd, request, arg, is_node(fd) ? nullptr : real___ioctl_time64());
}

CARDSIM_EXPORT unsigned sleep(unsigned seconds)
{
    if (virtual_sleep(uint64_t(seconds) * kNsPerSecond))
        return 0;
    if (auto real = real_sleep())
        return real(seconds);
    struct timespec ts = {time_t(seconds), 0};
    return syscall(SYS_nanosleep, &ts, nullptr) == 0 ? 0 : seconds;
}

CARDSIM_EXPORT int usleep(useconds_t usec)
{
    if (virtual_sleep(uint64_t(usec) * 1000))
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
    if (!valid(req->tv_sec, req->tv_nsec))
        return fail(EINVAL);
    if (virtual_sleep(to_ns(req->tv_sec, req->tv_nsec)))
        return 0;
    if (auto real = real_nanosleep())
        return real(req, rem);
    return int(syscall(SYS_nanosleep, req, rem));
}

CARDSIM_EXPORT int clock_nanosleep(clockid_t clock, int flags, const struct timespec* req, struct timespec* rem)
{
    if (req && virtual_clock(clock)) {
        if (!valid(req->tv_sec, req->tv_nsec))
            return EINVAL;
        if (virtual_sleep(duration(clock, flags, req->tv_sec, req->tv_nsec)))
            return 0;
    }
    if (auto real = real_clock_nanosleep())
        return real(clock, flags, req, rem);
    long r = syscall(SYS_clock_nanosleep, clock, flags, req, rem);
    return r < 0 ? errno : 0;
}

#if defined(__i386__)
// The 64-bit-time entry points of a 32-bit libc.
struct timespec64 {
    long long tv_sec;
    int tv_nsec;
    int padding;
};

CARDSIM_EXPORT int __nanosleep64(const struct timespec64* req, struct timespec64* rem)
{
    if (!req)
        return fail(EFAULT);
    if (!valid(req->tv_sec, req->tv_nsec))
        return fail(EINVAL);
    if (virtual_sleep(to_ns(req->tv_sec, req->tv_nsec)))
        return 0;
    static std::atomic<void*> slot{nullptr};
    if (auto real = reinterpret_cast<int (*)(const timespec64*, timespec64*)>(resolve(slot, "__nanosleep64")))
        return real(req, rem);
    return fail(ENOSYS);
}

CARDSIM_EXPORT int __clock_nanosleep_time64(clockid_t clock, int flags, const struct timespec64* req,
                                            struct timespec64* rem)
{
    if (req && virtual_clock(clock)) {
        if (!valid(req->tv_sec, req->tv_nsec))
            return EINVAL;
        if (virtual_sleep(duration(clock, flags, req->tv_sec, req->tv_nsec)))
            return 0;
    }
    static std::atomic<void*> slot{nullptr};
    if (auto real = reinterpret_cast<int (*)(clockid_t, int, const timespec64*, timespec64*)>(
            resolve(slot, "__clock_nanosleep_time64")))
        return real(clock, flags, req, rem);
    return ENOSYS;
}
#endif

// ---- in-process API ----

CARDSIM_EXPORT int cardsim_reload(void)
{
    Sim& sim = lock_sim();
    sim.reported.clear();
    int r = load(sim);
    pthread_mutex_unlock(&g_mutex);
    return r;
}

CARDSIM_EXPORT unsigned long long cardsim_now_ns(void)
{
    ensure_ready();
    return now_ns();
}
