// SPDX-License-Identifier: GPL-2.0-or-later
// A fresh simulated card for each test, served in this process by the linked
// libcardsim.so: every ioctl below goes through the interposer.
#pragma once

#include "card_io.h"
#include "cardsim_api.h"
#include "run.h"

#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

class SimTest : public ::testing::Test {
protected:
    // settings: "CARDSIM_NAME=value" entries on top of a fresh state folder.
    void start(const std::vector<std::string>& settings = {}, bool open_node = true)
    {
        dir = testsupport::make_temp_dir("sim");
        for (const char* name : kNames)
            unsetenv(name);
        setenv("CARDSIM_STATE", dir.c_str(), 1);
        // The model's own timings, to the nanosecond; the tests of the request cost set it.
        setenv("CARDSIM_REQUEST_TIME", "0", 1);
        for (const auto& s : settings) {
            size_t eq = s.find('=');
            setenv(s.substr(0, eq).c_str(), s.substr(eq + 1).c_str(), 1);
        }
        ASSERT_EQ(cardsim_reload(), 0);
        if (open_node) {
            fd = open("/dev/dvb/adapter0/frontend0", O_RDWR | O_NONBLOCK);
            ASSERT_GE(fd, 0) << strerror(errno);
        }
    }

    void TearDown() override
    {
        if (fd >= 0)
            close(fd);
        for (const char* name : kNames)
            unsetenv(name);
        cardsim_reload();
        if (!dir.empty())
            nftw(dir.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
                 FTW_DEPTH | FTW_PHYS);
    }

    std::string file(const char* name) const { return testsupport::read_file(dir + "/" + name); }

    uint32_t reg(unsigned char addr)
    {
        uint32_t v = 0;
        EXPECT_EQ(cardio::reg_read(fd, addr, v), 0);
        return v;
    }

    double now() const { return double(cardsim_now_ns()) / 1e9; }

    static constexpr const char* kNames[] = {
        "CARDSIM_STATE", "CARDSIM_NODES", "CARDSIM_SIGNAL", "CARDSIM_MAC", "CARDSIM_BUSY_TIME", "CARDSIM_FAULTS",
        "CARDSIM_VTIME", "CARDSIM_TRACE", "CARDSIM_FLASH_ID", "CARDSIM_FLASH_BUSY_TIME", "CARDSIM_REQUEST_TIME",
        "CARDSIM_REG48", "CARDSIM_REG4C",
    };

    std::string dir;
    int fd = -1;
};
