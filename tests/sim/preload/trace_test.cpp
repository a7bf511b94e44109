// SPDX-License-Identifier: GPL-2.0-or-later
// The trace: one line per open, close, request and sleep, with the virtual time.
#include "sim_fixture.h"

using namespace cardio;

// The suite is named after this file, so that a failing test leads to it.
using Trace = SimTest;

TEST_F(Trace, TraceRecordsEveryEventInOrder)
{
    std::string trace_dir = testsupport::make_temp_dir("trace");
    std::string trace = trace_dir + "/trace";
    start({"CARDSIM_TRACE=" + trace, "CARDSIM_NODES=0:0"}, false);
    fd = open("/dev/dvb/adapter0/frontend0", O_RDWR | O_NONBLOCK);
    open("/dev/dvb/adapter1/frontend0", O_RDWR | O_NONBLOCK);
    reg_write(fd, 0x44, 1);
    usleep(15000);
    uint32_t v;
    reg_read(fd, 0x48, v);
    window_write(fd, 4, 1);
    window_read(fd, 0, v);
    window_read(fd, 0, v, 0x1234);
    ioctl(fd, 0x1234u, &v);
    sleep(2);
    int closed = fd;
    close(fd);
    fd = -1;
    char expected[1024];
    snprintf(expected, sizeof expected,
             "0.000000000 OPEN /dev/dvb/adapter0/frontend0 %d\n"
             "0.000000000 OPEN /dev/dvb/adapter1/frontend0 ENOENT\n"
             "0.000000000 REG_WRITE 0x44 0x00000001\n"
             "0.000000000 SLEEP 0.015000000\n"
             "0.015000000 REG_READ 0x48 0x38048007\n"
             "0.015000000 WINDOW_WRITE 0x04 0x00000001\n"
             "0.015000000 WINDOW_READ 0x00 0x00000001\n"
             "0.015000000 WINDOW_READ 0x00 BADBASE 0x00001234\n"
             "0.015000000 IOCTL 0x00001234 ENOTTY\n"
             "0.015000000 SLEEP 2.000000000\n"
             "2.015000000 CLOSE %d\n",
             closed, closed);
    EXPECT_EQ(testsupport::read_file(trace), expected);
    remove(trace.c_str());
    rmdir(trace_dir.c_str());
}

TEST_F(Trace, TraceNamesFailedRequests)
{
    std::string trace_dir = testsupport::make_temp_dir("trace");
    std::string trace = trace_dir + "/trace";
    start({"CARDSIM_TRACE=" + trace, "CARDSIM_FAULTS=reg-read-fail"});
    uint32_t v;
    reg_read(fd, 0x48, v);
    std::string text = testsupport::read_file(trace);
    EXPECT_NE(text.find("\n0.000000000 REG_READ 0x48 EIO\n"), std::string::npos) << text;
    remove(trace.c_str());
    rmdir(trace_dir.c_str());
}
