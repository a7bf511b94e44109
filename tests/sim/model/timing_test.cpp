// SPDX-License-Identifier: GPL-2.0-or-later
// What requests cost in virtual time, the flash's defaults against the
// library's waits, and the card behaviours that only settings produce.
#include "sim_fixture.h"

#include "zeb_program.h"
#include "zebecp3-spi.h"

using namespace cardio;

// The suite is named after this file, so that a failing test leads to it.
using Timing = SimTest;

namespace {

std::vector<std::string> g_messages;
void keep(const char* text, bool) { g_messages.push_back(text); }

}  // namespace

TEST_F(Timing, EveryRequestCostsOneMicrosecondByDefault)
{
    std::string trace = testsupport::make_temp_dir("trace") + "/trace";
    start({}, false);
    unsetenv("CARDSIM_REQUEST_TIME");
    setenv("CARDSIM_TRACE", trace.c_str(), 1);
    ASSERT_EQ(cardsim_reload(), 0);
    fd = open("/dev/dvb/adapter0/frontend0", O_RDWR | O_NONBLOCK);
    for (int i = 0; i < 1000; ++i)
        reg(0x48);
    EXPECT_EQ(cardsim_now_ns(), 1000000u);
    uint32_t v;
    window_read(fd, 0, v, 0x1234);  // refused requests cost as much
    ioctl(fd, 0x1234u, &v);
    EXPECT_EQ(cardsim_now_ns(), 1002000u);
    std::string text = testsupport::read_file(trace);
    EXPECT_NE(text.find("\n0.000999000 REG_READ 0x48 0x38048007\n0.001000000 WINDOW_READ 0x00 BADBASE 0x00001234\n"
                        "0.001001000 IOCTL 0x00001234 ENOTTY\n"),
              std::string::npos);
    remove(trace.c_str());
    rmdir(trace.substr(0, trace.rfind('/')).c_str());
}

TEST_F(Timing, RequestCostIsConfigurable)
{
    start({"CARDSIM_REQUEST_TIME=0.000000250"});
    reg(0x48);
    reg(0x48);
    EXPECT_EQ(cardsim_now_ns(), 500u);
    ASSERT_EQ(setenv("CARDSIM_REQUEST_TIME", "0", 1), 0);
    ASSERT_EQ(cardsim_reload(), 0);
    reg(0x48);
    EXPECT_EQ(cardsim_now_ns(), 0u);
}

// The library's page program polls 250 times without a pause, its word
// program 50 times a millisecond apart: the defaults let both finish in time.
TEST_F(Timing, LibraryFlashProgramsSucceedAtTheDefaults)
{
    start({}, false);
    unsetenv("CARDSIM_REQUEST_TIME");
    unsetenv("CARDSIM_FLASH_BUSY_TIME");
    ASSERT_EQ(cardsim_reload(), 0);
    fd = open("/dev/dvb/adapter0/frontend0", O_RDWR | O_NONBLOCK);
    g_messages.clear();
    zeb_select_program(zeb_program_ravelins, keep);
    zebecp3 card{};
    card.setFrontend(fd);
    unsigned char page[256];
    for (int i = 0; i < 256; ++i)
        page[i] = (unsigned char)i;
    unsigned char addr[3] = {0, 1, 0};
    EXPECT_EQ(card.spi_Write1page(addr, page), 1);
    unsigned char word_addr[3] = {0, 2, 0};
    unsigned int word = 0x12345678;
    card.spi_WriteEnable();
    EXPECT_EQ(card.spi_Write32bit(word_addr, &word), 1);
    zeb_select_program(zeb_program_ravelins, nullptr);
    EXPECT_EQ(g_messages, std::vector<std::string>{});  // no busy report: the 50th poll was not reached
    std::string flash = file("flash");
    EXPECT_EQ(flash.substr(0x100, 256), std::string((char*)page, 256));
    EXPECT_EQ(flash.substr(0x200, 4), "\x78\x56\x34\x12");
}

TEST_F(Timing, InputRegistersCanReadAnyWord)
{
    start({"CARDSIM_REG48=0xdeadbeef", "CARDSIM_REG4C=0xfffffe3c"});
    EXPECT_EQ(reg(0x48), 0xdeadbeefu);
    EXPECT_EQ(reg(0x4c), 0xfffffe3cu);
    close(fd);
    fd = -1;
    auto r = testsupport::run({CARDSIM_BIN, "--state", dir, "--reg48", "0x00000780", "--reg4c", "4294967295", "--",
                               CLIENT_BIN, "open", "0:0", "rr", "0x48", "rr", "0x4c"});
    EXPECT_EQ(r.out, "open ok\nrr 0x00000780\nrr 0xffffffff\n") << r.err;
    r = testsupport::run({CARDSIM_BIN, "--state", dir, "--reg48", "0x1122334455", "--show"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cardsim: --reg48: '0x1122334455' is not a 32-bit word (0x and up to 8 hex digits, or "
                     "decimal)\nTry 'cardsim --help' for more information.\n");
}

TEST_F(Timing, SpiControllerBusyForSomePollsThenFree)
{
    start({"CARDSIM_FAULTS=spi-busy-polls=3"});
    EXPECT_EQ(reg(0x10), 1u);  // nothing sent yet
    reg_write(fd, 0x14, 0x05);
    reg_write(fd, 0x10, 0x11f0);
    std::vector<uint32_t> polls;
    for (int i = 0; i < 5; ++i)
        polls.push_back(reg(0x10));
    EXPECT_EQ(polls, (std::vector<uint32_t>{0, 0, 0, 1, 1}));
}

TEST_F(Timing, UnknownAccessesAreFlaggedInTheTraceAndShown)
{
    std::string trace = testsupport::make_temp_dir("trace") + "/trace";
    start({"CARDSIM_TRACE=" + trace});
    reg(0x50);
    reg_write(fd, 0x04, 7);
    uint32_t v;
    window_read(fd, 0x10, v);
    window_write(fd, 0x14, 1);
    window_write(fd, 0, command(0x42, 0, 0, 0));
    exchange(fd);
    reg_write(fd, 0x14, 0x12);
    reg_write(fd, 0x10, 0x10e0);  // a flash command of opcode 0x12
    reg(0x48);
    std::string text = testsupport::read_file(trace);
    for (const char* line : {" REG_READ 0x50 0x00000000 UNKNOWN\n", " REG_WRITE 0x04 0x00000007 UNKNOWN\n",
                             " WINDOW_READ 0x10 0x00000000 UNKNOWN\n", " WINDOW_WRITE 0x14 0x00000001 UNKNOWN\n",
                             " WINDOW_READ 0x00 0x00000000 UNKNOWN-OPCODE 0x42\n",
                             " REG_WRITE 0x10 0x000010e0 UNKNOWN-FLASH-OPCODE 0x12\n",
                             " REG_READ 0x48 0x38048007\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    auto r = testsupport::run({CARDSIM_BIN, "--state", dir, "--show"});
    EXPECT_NE(r.out.find("Unknown accesses  register 0x50 read\n"
                         "                  register 0x04 write\n"
                         "                  window offset 0x10 read\n"
                         "                  window offset 0x14 write\n"
                         "                  mailbox opcode 0x42\n"
                         "                  flash opcode 0x12\n"),
              std::string::npos)
        << r.out;
    remove(trace.c_str());
    rmdir(trace.substr(0, trace.rfind('/')).c_str());
}
