// SPDX-License-Identifier: GPL-2.0-or-later
// Requests per second through the card simulator's interposer, in virtual time.
// Run under cardsim (bench/run.sh does): cardsim -- cardsim_bench [COUNT]
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "zeb_requests.h"

namespace {

constexpr unsigned long request_reg_read = REG_READ;
constexpr unsigned long request_window_read = WINDOW_READ, request_window_write = WINDOW_WRITE;

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report(const char* what, long requests, double seconds)
{
    printf("%-34s %9ld requests in %.3f s: %10.0f requests/s\n", what, requests, seconds, requests / seconds);
}

// The card's virtual clock, present when the interposer is loaded.
unsigned long long virtual_ns()
{
    auto now = reinterpret_cast<unsigned long long (*)()>(dlsym(RTLD_DEFAULT, "cardsim_now_ns"));
    return now ? now() : 0;
}

void report_virtual(unsigned long long from, long requests)
{
    unsigned long long ns = virtual_ns() - from;
    printf("%-34s %9.6f virtual s, %.3f us a request\n", "", double(ns) / 1e9, double(ns) / 1e3 / double(requests));
}

}  // namespace

int main(int argc, char** argv)
{
    long count = argc > 1 ? atol(argv[1]) : 2000000;
    int fd = open("/dev/dvb/adapter0/frontend0", O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        fprintf(stderr, "cardsim_bench: cannot open the card (%s); run it under cardsim\n", strerror(errno));
        return 1;
    }
    reg_record r{0x48, 0};
    if (ioctl(fd, request_reg_read, &r) != 0 || r.value != 0x38048007) {
        fprintf(stderr, "cardsim_bench: the card did not answer as the simulator does\n");
        return 1;
    }

    unsigned long long virtual_start = virtual_ns();
    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        r.addr = 0x48;
        ioctl(fd, request_reg_read, &r);
    }
    report("register reads", count, seconds_since(start));
    report_virtual(virtual_start, count);

    // Whole EEPROM reads as the library makes them: command, exchange with 1 ms pauses, data.
    long commands = count / 10, requests = 0;
    virtual_start = virtual_ns();
    start = std::chrono::steady_clock::now();
    for (long i = 0; i < commands; ++i) {
        window_record w{0x4000, 0, 0x14000131};
        ioctl(fd, request_window_write, &w);
        ++requests;
        w.offset = 0;
        do {
            usleep(1000);
            ioctl(fd, request_window_read, &w);
            ++requests;
        } while (w.value & 1);
        window_record ack{0x4000, 12, w.value};
        ioctl(fd, request_window_write, &ack);
        ++requests;
        do {
            usleep(1000);
            ioctl(fd, request_window_read, &w);
            ++requests;
        } while (!(w.value & 1));
        w.offset = 4;
        ioctl(fd, request_window_read, &w);
        ++requests;
    }
    double t = seconds_since(start);
    report("EEPROM reads (mailbox, sleeps)", requests, t);
    printf("%-34s %9ld commands in %.3f s: %10.0f commands/s\n", "", commands, t, commands / t);
    report_virtual(virtual_start, requests);
    close(fd);
    return 0;
}
