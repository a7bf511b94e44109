// SPDX-License-Identifier: GPL-2.0-or-later
// Clients that attack the interposer where a program meets it unusually:
//   race N            runs "race-once" N times; prints how many fopen calls failed
//   race-once         one thread's first fopen while others make their first interposed calls
//   inherit           opens the node and execs "inherited FD", whose first call is a request
//   signal open|request  a signal handler opens, uses and closes the node while the
//                     thread is inside the card (raised from the card's own flock)
//   oom               the interposer's allocations fail (this program's operator new)
//   hold PATH         takes an exclusive flock on PATH, says "held", stops itself
// It exports flock and operator new, so that the interposer's calls reach them.
#include "card_io.h"
#include "exec32.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char kNode[] = "/dev/dvb/adapter0/frontend0";

const char* name_of(int err)
{
    const char* n = strerrorname_np(err);
    return n ? n : "?";
}

// ---- hooks ----

volatile sig_atomic_t g_raise_in_flock = 0;
volatile sig_atomic_t g_fail_new = 0;

}  // namespace

extern "C" int flock(int fd, int operation)
{
    if (g_raise_in_flock) {
        g_raise_in_flock = 0;
        raise(SIGUSR1);
    }
    return int(syscall(SYS_flock, fd, operation));
}

void* operator new(size_t size)
{
    if (g_fail_new)
        throw std::bad_alloc();
    if (void* p = malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }

namespace {

// ---- race ----

// The threads spin until all are there, so that their first calls overlap.
std::atomic<int> g_arrived{0};
constexpr int kThreads = 5;
int g_fopen_errno = 0;

void start_together()
{
    g_arrived.fetch_add(1);
    while (g_arrived.load() < kThreads)
        sched_yield();
}

void* first_fopen(void*)
{
    start_together();
    FILE* f = fopen("/proc/self/stat", "r");
    if (f)
        fclose(f);
    else
        g_fopen_errno = errno;
    return nullptr;
}

// Each helper's first interposed call looks up another of libc's functions.
void* first_call(void* which)
{
    start_together();
    switch (reinterpret_cast<intptr_t>(which)) {
    case 1: {
        int fd = open("/dev/null", O_RDONLY);
        close(fd);
        break;
    }
    case 2:
        close(openat(AT_FDCWD, "/dev/null", O_RDONLY));
        break;
    case 3:
        dup2(-1, -1);
        break;
    default: {
        int v = 0;
        ioctl(-1, 0, &v);
        break;
    }
    }
    return nullptr;
}

int race_once()
{
    pthread_t threads[kThreads];
    pthread_create(&threads[0], nullptr, first_fopen, nullptr);
    for (intptr_t i = 1; i < kThreads; ++i)
        pthread_create(&threads[i], nullptr, first_call, reinterpret_cast<void*>(i));
    for (pthread_t t : threads)
        pthread_join(t, nullptr);
    if (g_fopen_errno)
        fprintf(stderr, "fopen %s\n", name_of(g_fopen_errno));
    return g_fopen_errno ? 1 : 0;
}

int race(const char* self, int runs)
{
    int failed = 0;
    for (int i = 0; i < runs; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            char* args[] = {const_cast<char*>(self), const_cast<char*>("race-once"), nullptr};
            cardsim::exec_program(self, args);
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    printf("race failures %d of %d\n", failed, runs);
    return 0;
}

// ---- signal ----

int g_node = -1;
char g_inner[160];

void inner(int)
{
    int saved = errno;
    cardio::reg_record r{0x48, 0};
    // no node yet while the outer call is the open
    int read = g_node < 0 ? -1 : ioctl(g_node, cardio::request_reg_read, &r) == 0 ? 0 : errno;
    int fd = open(kNode, O_RDONLY | O_NONBLOCK);
    int opened = fd >= 0 ? 0 : errno;
    int closed = fd >= 0 ? close(fd) : 0;
    snprintf(g_inner, sizeof g_inner, "inner read %s, open %s, close %d",
             read < 0 ? "none" : read ? name_of(read) : "ok", opened ? name_of(opened) : "ok", closed);
    errno = saved;
}

int signal_inside(const std::string& where)
{
    signal(SIGUSR1, inner);
    if (where == "request") {
        g_node = open(kNode, O_RDWR | O_NONBLOCK);
        if (g_node < 0)
            return 3;
        g_raise_in_flock = 1;
        int err = cardio::reg_write(g_node, 0x48, 7);  // saved to the state under the card's lock
        printf("outer write %s; %s\n", err ? name_of(err) : "ok", g_inner);
    } else {
        g_raise_in_flock = 1;
        g_node = open(kNode, O_RDWR | O_NONBLOCK);
        printf("outer open %s; %s\n", g_node < 0 ? name_of(errno) : "ok", g_inner);
    }
    uint32_t v = 0;
    int err = cardio::reg_read(g_node, 0x48, v);
    printf("after 0x%08x %s\n", v, err ? name_of(err) : "ok");
    return 0;
}

// ---- oom ----

int out_of_memory()
{
    g_fail_new = 1;
    int fd = open(kNode, O_RDWR | O_NONBLOCK);
    int err = errno;
    g_fail_new = 0;
    printf("open %s\n", fd < 0 ? name_of(err) : "ok");
    fd = open(kNode, O_RDWR | O_NONBLOCK);
    if (fd < 0)
        return 3;
    g_fail_new = 1;
    cardio::reg_record r{0x48, 1};
    int result = ioctl(fd, cardio::request_reg_write, &r);
    err = errno;
    g_fail_new = 0;
    printf("write %s\n", result ? name_of(err) : "ok");
    uint32_t v = 0;
    err = cardio::reg_read(fd, 0x4c, v);
    printf("then 0x%08x %s\n", v, err ? name_of(err) : "ok");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string op = argc > 1 ? argv[1] : "";
    if (op == "race" && argc > 2)
        return race(argv[0], atoi(argv[2]));
    if (op == "race-once")
        return race_once();
    if (op == "inherit") {
        int fd = open(kNode, O_RDWR | O_NONBLOCK);
        if (fd < 0) {
            printf("open %s\n", name_of(errno));
            return 3;
        }
        std::string number = std::to_string(fd);
        char* args[] = {argv[0], const_cast<char*>("inherited"), number.data(), nullptr};
        cardsim::exec_program(argv[0], args);
        return 127;
    }
    if (op == "inherited" && argc > 2) {
        cardio::reg_record r{0x48, 0};
        int result = ioctl(atoi(argv[2]), cardio::request_reg_read, &r);
        if (result)
            printf("inherited %s\n", name_of(errno));
        else
            printf("inherited 0x%08x\n", r.value);
        return 0;
    }
    if (op == "signal" && argc > 2)
        return signal_inside(argv[2]);
    if (op == "oom")
        return out_of_memory();
    if (op == "hold" && argc > 2) {
        int fd = open(argv[2], O_RDWR);
        if (fd < 0 || flock(fd, LOCK_EX) != 0)
            return 3;
        printf("held\n");
        raise(SIGSTOP);
        return 0;
    }
    fprintf(stderr, "preload_client: unknown operation %s\n", op.c_str());
    return 64;
}
