// SPDX-License-Identifier: GPL-2.0-or-later
// Registers, records and the node's open rules, through the real ioctl path.
#include "sim_fixture.h"

#include <linux/dvb/frontend.h>
#include <termios.h>

using namespace cardio;

// The suite is named after this file, so that a failing test leads to it.
using Requests = SimTest;

TEST_F(Requests, InputFormatRegistersGiveTheDefaultSignal)
{
    start();
    // 1920 = 0x0780, 1080 = 0x0438: bytes 0x07, 0x80, 0x04, 0x38 from byte 0 up.
    EXPECT_EQ(reg(0x48), 0x38048007u);
    // Frequency code 60 in byte 0, bit 8 progressive.
    EXPECT_EQ(reg(0x4c), 0x0000013cu);
}

TEST_F(Requests, InputFormatRegistersFollowTheSignalSetting)
{
    start({"CARDSIM_SIGNAL=720x576@50i"});
    EXPECT_EQ(reg(0x48), 0x4002d002u);  // 0x02d0, 0x0240
    EXPECT_EQ(reg(0x4c), 0x00000032u);
}

TEST_F(Requests, FormatRegisterWritesAreKeptApartAndPersisted)
{
    start();
    EXPECT_EQ(reg_write(fd, 0x48, 0), 0);
    EXPECT_EQ(reg_write(fd, 0x4c, 3), 0);
    EXPECT_EQ(reg(0x48), 0x38048007u);
    EXPECT_EQ(reg(0x4c), 0x0000013cu);
    EXPECT_EQ(file("registers"), "0x48 0x00000000\n0x4c 0x00000003\n");
    EXPECT_EQ(reg_write(fd, 0x48, 1), 0);
    EXPECT_EQ(file("registers"), "0x48 0x00000001\n0x4c 0x00000003\n");
}

TEST_F(Requests, RegistersTheCardDoesNotDefineReadZero)
{
    start();
    for (unsigned char addr : {0x00, 0x04, 0x40, 0x50, 0xff})
        EXPECT_EQ(reg(addr), 0u) << int(addr);
    EXPECT_EQ(reg_write(fd, 0x50, 7), 0);
    EXPECT_EQ(reg(0x50), 0u);
}

TEST_F(Requests, OtherRequestsFailWithEnotty)
{
    start();
    dvb_frontend_info info;
    EXPECT_EQ(ioctl(fd, FE_GET_INFO, &info), -1);
    EXPECT_EQ(errno, ENOTTY);
    termios t;
    EXPECT_EQ(ioctl(fd, TCGETS, &t), -1);
    EXPECT_EQ(errno, ENOTTY);
    reg_record r{0x48, 0};
    EXPECT_EQ(ioctl(fd, 0x80086F5Eul, &r), -1);  // request 94
    EXPECT_EQ(errno, ENOTTY);
}

TEST_F(Requests, WindowRequestsWithAnotherBaseAreRefused)
{
    start();
    uint32_t v = 0;
    EXPECT_EQ(window_read(fd, 0, v, 0x1234), EINVAL);
    EXPECT_EQ(window_write(fd, 0, command(0x31, 1, 0, 20), 0x4001), EINVAL);
    EXPECT_EQ(status(fd), 1u);  // the refused command word did not arrive
}

TEST_F(Requests, UnlistedNodesDoNotExist)
{
    start({"CARDSIM_NODES=0:0,1:2"});
    int other = open("/dev/dvb/adapter1/frontend2", O_RDWR | O_NONBLOCK);
    EXPECT_GE(other, 0);
    close(other);
    for (const char* path : {"/dev/dvb/adapter1/frontend0", "/dev/dvb/adapter0/frontend1", "/dev/dvb/adapter9/frontend9"}) {
        EXPECT_EQ(open(path, O_RDWR | O_NONBLOCK), -1) << path;
        EXPECT_EQ(errno, ENOENT) << path;
    }
}

TEST_F(Requests, OnlyOneReadWriteOpenAtATime)
{
    start();
    EXPECT_EQ(open("/dev/dvb/adapter0/frontend0", O_RDWR | O_NONBLOCK), -1);
    EXPECT_EQ(errno, EBUSY);
    int reader = openat(AT_FDCWD, "/dev/dvb/adapter0/frontend0", O_RDONLY);
    ASSERT_GE(reader, 0);
    uint32_t v = 0;
    EXPECT_EQ(reg_read(reader, 0x48, v), 0);
    EXPECT_EQ(v, 0x38048007u);
    close(reader);
    close(fd);
    fd = open("/dev/dvb/adapter0/frontend0", O_RDWR | O_NONBLOCK);
    EXPECT_GE(fd, 0);
}

TEST_F(Requests, ClosedDescriptorIsNoLongerTheCard)
{
    start();
    int node = fd;
    close(fd);
    fd = -1;
    std::vector<int> opened;
    while (opened.size() < 8 && (opened.empty() || opened.back() != node))
        opened.push_back(open("/dev/null", O_RDONLY));
    ASSERT_EQ(opened.back(), node);  // the same number came back for another file
    reg_record r{0x48, 0};
    EXPECT_EQ(ioctl(node, request_reg_read, &r), -1);  // from /dev/null (qemu says ENOSYS, a kernel ENOTTY)
    EXPECT_EQ(r.value, 0u);
    for (int f : opened)
        close(f);
}

TEST_F(Requests, NodeReplacedByDup2IsClosed)
{
    start();
    int pipes[2];
    ASSERT_EQ(pipe(pipes), 0);
    for (int use_dup3 : {0, 1}) {
        int node = fd;
        ASSERT_EQ(use_dup3 ? dup3(pipes[0], node, O_CLOEXEC) : dup2(pipes[0], node), node);
        // the number is a pipe now: a request on it is not the card's
        reg_record r{0x48, 0};
        EXPECT_EQ(ioctl(node, request_reg_read, &r), -1) << use_dup3;
        EXPECT_EQ(r.value, 0u);
        // and the node was closed, so a new read-write open succeeds
        fd = open("/dev/dvb/adapter0/frontend0", O_RDWR | O_NONBLOCK);
        ASSERT_GE(fd, 0) << strerror(errno);
        close(node);
    }
    // a dup onto another number is no node, and leaves the node open
    int copy = dup(pipes[1]);
    ASSERT_EQ(dup2(fd, copy), copy);
    EXPECT_EQ(open("/dev/dvb/adapter0/frontend0", O_RDWR | O_NONBLOCK), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(reg(0x48), 0x38048007u);
    close(copy);
    close(pipes[0]);
    close(pipes[1]);
}

TEST_F(Requests, RegisterReadFaultFailsEveryRegisterRead)
{
    start({"CARDSIM_FAULTS=reg-read-fail"});
    uint32_t v = 0x55;
    EXPECT_EQ(reg_read(fd, 0x48, v), EIO);
    EXPECT_EQ(reg_read(fd, 0x10, v), EIO);
    EXPECT_EQ(v, 0x55u);
    EXPECT_EQ(reg_write(fd, 0x48, 1), 0);
    EXPECT_EQ(status(fd), 1u);  // the mailbox still answers
}

TEST_F(Requests, ReloadRefusesMalformedSettings)
{
    start({}, false);
    setenv("CARDSIM_SIGNAL", "1920x1080", 1);
    EXPECT_EQ(cardsim_reload(), -1);
    setenv("CARDSIM_SIGNAL", "1920x1080@60p", 1);
    setenv("CARDSIM_FAULTS", "busy=soon", 1);
    EXPECT_EQ(cardsim_reload(), -1);
    unsetenv("CARDSIM_FAULTS");
    EXPECT_EQ(cardsim_reload(), 0);
}
