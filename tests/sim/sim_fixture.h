// SPDX-License-Identifier: GPL-2.0-or-later
// A fresh simulated card for each test, served in this process by the linked
// libcardsim.so: every ioctl below goes through the interposer, and every
// sleep too, in the card's virtual time: a test's usleep costs no real time.
#pragma once

#include "card_io.h"
#include "cardsim_api.h"
#include "run.h"
#include "sim_state.h"
#include "sim_test.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

// One EEPROM write of a byte: the data word, the command word, then the status
// read at which the card carries the command out. Returns that read's errno.
inline int store_byte(int fd, unsigned char addr, unsigned char byte)
{
    cardio::window_write(fd, 4, byte);
    cardio::window_write(fd, 0, cardio::command(0x30, 1, 0, addr));
    uint32_t s = 0;
    int err = cardio::window_read(fd, 0, s);  // still offered (latency 1)
    if (!err)
        err = cardio::window_read(fd, 0, s);  // taken: carried out here
    // finish the handshake so that the next command starts clean
    cardio::window_write(fd, 12, s);
    cardio::window_read(fd, 0, s);
    return err;
}

// Whether the user nobody can run and read the given build files: not where a
// folder on their path is private, as /root is in a package build's chroot.
inline bool nobody_reaches(const std::vector<std::string>& files)
{
    std::vector<std::string> argv{"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "sh", "-c",
                                  "for f; do test -r \"$f\" || exit 1; done", "sh"};
    argv.insert(argv.end(), files.begin(), files.end());
    return testsupport::run(argv).status == 0;
}

// The probes of the other class are built only where this compiler links
// that class (gcc-multilib); a package build has no such libraries.
#define SKIP_WITHOUT_OTHER_CLASS_PROBES()                                                                          \
    if (PROBE_OTHER_BIN[0] == '\0')                                                                                \
    GTEST_SKIP() << "no probe of the other class: this compiler cannot link it (gcc-multilib)"

class SimTest : public SimStateTest {
protected:
    SimTest() : SimStateTest("sim") {}

    // settings: "CARDSIM_NAME=value" entries on top of a fresh state folder.
    void start(const std::vector<std::string>& settings = {}, bool open_node = true)
    {
        serve(settings);
        if (HasFatalFailure())
            return;
        if (open_node) {
            fd = open("/dev/dvb/adapter0/frontend0", O_RDWR | O_NONBLOCK);
            ASSERT_GE(fd, 0) << strerror(errno);
        }
    }

    void TearDown() override
    {
        if (fd >= 0)
            close(fd);
        // What serve_a_shell set for a test that starts a shell.
        unsetenv("CARDSIM_PRELOAD_32");
        unsetenv("CARDSIM_PRELOAD_64");
        SimStateTest::TearDown();
    }

    // One EEPROM byte through the mailbox on the open node (store_byte).
    int store(unsigned char addr, unsigned char byte) { return store_byte(fd, addr, byte); }

    uint32_t reg(unsigned char addr)
    {
        uint32_t v = 0;
        EXPECT_EQ(cardio::reg_read(fd, addr, v), 0);
        return v;
    }

    int fd = -1;
};
