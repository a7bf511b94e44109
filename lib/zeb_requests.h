// SPDX-License-Identifier: GPL-2.0-or-later
// The four private requests of the card's driver on the DVB frontend node and
// their records, for the library, the simulated card and the tests alike.
#pragma once

#include <cstddef>
#include <sys/ioctl.h>

struct reg_record {
    unsigned char addr;
    unsigned int value;
};

struct window_record {
    unsigned int base;
    unsigned char offset;
    unsigned int value;
};

static_assert(sizeof(reg_record) == 8 && offsetof(reg_record, value) == 4, "reg_record layout");
static_assert(sizeof(window_record) == 12 && offsetof(window_record, offset) == 4 &&
                  offsetof(window_record, value) == 8,
              "window_record layout");

#define REG_READ _IOR('o', 90, struct reg_record)
#define REG_WRITE _IOW('o', 91, struct reg_record)
#define WINDOW_READ _IOR('o', 92, struct window_record)
#define WINDOW_WRITE _IOW('o', 93, struct window_record)

static_assert(REG_READ == 0x80086F5Au && REG_WRITE == 0x40086F5Bu, "register request numbers");
static_assert(WINDOW_READ == 0x800C6F5Cu && WINDOW_WRITE == 0x400C6F5Du, "window request numbers");
