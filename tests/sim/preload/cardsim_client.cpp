// SPDX-License-Identifier: GPL-2.0-or-later
// A tiny card client for the simulator's multi-process tests. Runs its
// arguments as a list of operations and prints one line per result:
//   open A:F | openro A:F | openpath PATH | close | rr ADDR | rw ADDR VALUE | status
//   eeprom-read ADDR N | eeprom-write ADDR BYTE... | usleep US | now | exit STATUS
#include "card_io.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <vector>

namespace {

unsigned long number(const char* text) { return strtoul(text, nullptr, 0); }

const char* error_name(int err)
{
    const char* name = strerrorname_np(err);
    return name ? name : "?";
}

void report(const char* what, const cardio::Exchange& x)
{
    printf("%s %s\n", what, !x.taken ? "receiver-busy" : !x.done ? "timeout" : (x.last & 2) ? "write-error" : "ok");
}

}  // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int fd = -1;
    for (int i = 1; i < argc; ++i) {
        std::string op = argv[i];
        auto arg = [&](int k) -> const char* {
            if (i + k >= argc) {
                fprintf(stderr, "cardsim_client: %s needs %d argument(s)\n", op.c_str(), k);
                exit(64);
            }
            return argv[i + k];
        };
        if (op == "open" || op == "openro") {
            unsigned a = 0, f = 0;
            sscanf(arg(1), "%u:%u", &a, &f);
            ++i;
            char path[64];
            snprintf(path, sizeof path, "/dev/dvb/adapter%u/frontend%u", a, f);
            fd = open(path, (op == "open" ? O_RDWR : O_RDONLY) | O_NONBLOCK);
            if (fd < 0)
                printf("%s %s\n", op.c_str(), error_name(errno));
            else
                printf("%s ok\n", op.c_str());
        } else if (op == "openpath") {
            fd = open(arg(1), O_RDWR | O_NONBLOCK);
            ++i;
            printf("openpath %s\n", fd < 0 ? error_name(errno) : "ok");
        } else if (op == "close") {
            printf("close %d\n", close(fd));
        } else if (op == "rr") {
            uint32_t v = 0;
            int err = cardio::reg_read(fd, (unsigned char)number(arg(1)), v);
            ++i;
            if (err)
                printf("rr %s\n", error_name(err));
            else
                printf("rr 0x%08x\n", v);
        } else if (op == "rw") {
            int err = cardio::reg_write(fd, (unsigned char)number(arg(1)), uint32_t(number(arg(2))));
            i += 2;
            printf("rw %s\n", err ? error_name(err) : "ok");
        } else if (op == "status") {
            printf("status 0x%x\n", cardio::status(fd));
        } else if (op == "eeprom-read") {
            unsigned char buf[8] = {};
            unsigned n = unsigned(number(arg(2)));
            cardio::Exchange x = cardio::eeprom_read(fd, (unsigned char)number(arg(1)), (unsigned char)n, buf);
            i += 2;
            printf("eeprom");
            for (unsigned k = 0; k < n && k < 8; ++k)
                printf(" %02x", buf[k]);
            printf("\n");
            if (!x.done)
                report("eeprom-read", x);
        } else if (op == "eeprom-write") {
            unsigned char addr = (unsigned char)number(arg(1));
            unsigned char buf[8] = {};
            unsigned n = 0;
            for (i += 2; i < argc && n < 8 && isdigit((unsigned char)argv[i][0]); ++i)
                buf[n++] = (unsigned char)number(argv[i]);
            --i;
            report("eeprom-write", cardio::eeprom_write(fd, addr, (unsigned char)n, buf));
        } else if (op == "usleep") {
            usleep(useconds_t(number(arg(1))));
            ++i;
        } else if (op == "now") {
            // Present only when the interposer is loaded.
            auto now = reinterpret_cast<unsigned long long (*)()>(dlsym(RTLD_DEFAULT, "cardsim_now_ns"));
            if (now) {
                unsigned long long t = now();
                printf("now %llu.%09llu\n", t / 1000000000ull, t % 1000000000ull);
            } else {
                printf("now none\n");
            }
        } else if (op == "exit") {
            return int(number(arg(1)));
        } else {
            fprintf(stderr, "cardsim_client: unknown operation %s\n", op.c_str());
            return 64;
        }
    }
    return 0;
}
