// SPDX-License-Identifier: GPL-2.0-or-later
// The four driver requests and the mailbox exchange, as a client of the card
// issues them: what the simulator tests drive the card with.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <sys/ioctl.h>
#include <unistd.h>

#include "zeb_card.h"
#include "zeb_requests.h"

namespace cardio {

using ::reg_record;
using ::window_record;

constexpr unsigned long request_reg_read = REG_READ;
constexpr unsigned long request_reg_write = REG_WRITE;
constexpr unsigned long request_window_read = WINDOW_READ;
constexpr unsigned long request_window_write = WINDOW_WRITE;

// Each returns 0 or the request's errno.
inline int reg_read(int fd, unsigned char addr, uint32_t& value)
{
    reg_record r{addr, 0xdeadbeef};
    if (ioctl(fd, request_reg_read, &r) < 0)
        return errno;
    value = r.value;
    return 0;
}

inline int reg_write(int fd, unsigned char addr, uint32_t value)
{
    reg_record r{addr, value};
    return ioctl(fd, request_reg_write, &r) < 0 ? errno : 0;
}

inline int window_read(int fd, unsigned char offset, uint32_t& value, unsigned base = zeb_mailbox::window_base)
{
    window_record w{base, offset, 0xdeadbeef};
    if (ioctl(fd, request_window_read, &w) < 0)
        return errno;
    value = w.value;
    return 0;
}

inline int window_write(int fd, unsigned char offset, uint32_t value, unsigned base = zeb_mailbox::window_base)
{
    window_record w{base, offset, value};
    return ioctl(fd, request_window_write, &w) < 0 ? errno : 0;
}

constexpr uint32_t kBusy = zeb_mailbox::mcu_busy;

inline uint32_t status(int fd)
{
    uint32_t s = 0xffffffff;
    window_read(fd, zeb_mailbox::status, s);
    return s;
}

// A mailbox command word from its four bytes, bits 0 to 7 first.
constexpr uint32_t command(unsigned b0, unsigned b1, unsigned b2, unsigned b3)
{
    return zeb_mailbox::command_word(b0, b1, b2, b3);
}

struct Exchange {
    bool taken = false;  // bit 0 cleared in phase 1
    bool done = false;   // bit 0 set again in phase 2
    uint32_t last = 0;   // the last status read
    int polls = 0;       // status reads in all
};

// The exchange after a command word: 1 ms before each status read, at most `limit` per phase.
inline Exchange exchange(int fd, int limit = 1000)
{
    Exchange x;
    for (int i = 0; i < limit && !x.taken; ++i) {
        usleep(1000);
        x.last = status(fd);
        ++x.polls;
        x.taken = !(x.last & zeb_mailbox::handshake);
    }
    window_write(fd, zeb_mailbox::ack, x.last);
    if (!x.taken)
        return x;
    for (int i = 0; i < limit && !x.done; ++i) {
        usleep(1000);
        x.last = status(fd);
        ++x.polls;
        x.done = x.last & zeb_mailbox::handshake;
    }
    return x;
}

// n bytes (1 to 8) from EEPROM address addr; buf receives whole words (4 or 8 bytes).
inline Exchange eeprom_read(int fd, unsigned char addr, unsigned char n, unsigned char* buf)
{
    window_write(fd, zeb_mailbox::status, zeb_mailbox::command_word(zeb_mailbox::op_24cxx_read, n, 0, addr));
    Exchange x = exchange(fd);
    for (int w = 0; w < (n > 4 ? 2 : 1); ++w) {
        uint32_t v = 0;
        window_read(fd, w ? zeb_mailbox::data1 : zeb_mailbox::data0, v);
        for (int b = 0; b < 4; ++b)
            buf[4 * w + b] = (unsigned char)(v >> (8 * b));
    }
    return x;
}

// Writes the first n bytes (1 to 8) of buf, the rest of their words 0; `last` of the result is the status read once more afterwards.
inline Exchange eeprom_write(int fd, unsigned char addr, unsigned char n, const unsigned char* buf)
{
    for (int w = 0; w < (n > 4 ? 2 : 1); ++w) {
        uint32_t v = 0;
        for (int b = 0; b < 4 && 4 * w + b < n; ++b)
            v |= uint32_t(buf[4 * w + b]) << (8 * b);
        window_write(fd, w ? zeb_mailbox::data1 : zeb_mailbox::data0, v);
    }
    window_write(fd, zeb_mailbox::status, zeb_mailbox::command_word(zeb_mailbox::op_24cxx_write, n, 0, addr));
    Exchange x = exchange(fd);
    x.last = status(fd);
    return x;
}

}  // namespace cardio
