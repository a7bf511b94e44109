// SPDX-License-Identifier: GPL-2.0-or-later
// The SPI controller and the NOR flash behind it.
#include "sim_fixture.h"

using namespace cardio;

class FlashTest : public SimTest {
protected:
    // One controller transfer: register 20, then 24 when given, then the control word.
    void transfer(uint32_t r20, uint32_t control, const uint32_t* r24 = nullptr)
    {
        ASSERT_EQ(reg_write(fd, 0x14, r20), 0);
        if (r24) {
            ASSERT_EQ(reg_write(fd, 0x18, *r24), 0);
        }
        ASSERT_EQ(reg_write(fd, 0x10, control | (r20 & 0xffff0000u)), 0);
    }

    static uint32_t with_address(uint8_t opcode, uint32_t addr)
    {
        return opcode | (addr >> 16 & 0xff) << 8 | (addr >> 8 & 0xff) << 16 | (addr & 0xff) << 24;
    }

    uint8_t flash_status()
    {
        transfer(0x05, 0x11f0);
        return uint8_t(reg(0x1c));
    }
    void command(uint8_t opcode) { transfer(opcode, 0x10e0); }
    uint32_t read_word(uint32_t addr)
    {
        transfer(with_address(0x03, addr), 0x44f0);
        return reg(0x1c);
    }
    void program_word(uint32_t addr, uint32_t word) { transfer(with_address(0x02, addr), 0x80e0, &word); }
    uint32_t identify()
    {
        reg_write(fd, 0x1c, 1);
        command(0xab);
        transfer(0x109f, 0x13f0);
        return reg(0x1c);
    }
    // Polls the status the way a page program does; the number of polls that showed write in progress.
    int busy_polls(int limit)
    {
        int polls = 0;
        while (polls < limit && (flash_status() & 1))
            ++polls;
        return polls;
    }
};

TEST_F(FlashTest, IdentifiesAsConfigured)
{
    start();
    EXPECT_EQ(identify(), 0x001620c2u);
    EXPECT_EQ(reg(0x20), 0x04030201u);
    EXPECT_EQ(reg(0x10) & 0xff, 1u);
}

TEST_F(FlashTest, IdentificationIsSelectable)
{
    start({"CARDSIM_FLASH_ID=ef:40:17"});
    EXPECT_EQ(identify(), 0x001740efu);
}

TEST_F(FlashTest, WriteEnableLatchShowsInTheStatus)
{
    start();
    EXPECT_EQ(flash_status(), 0x00);
    command(0x06);
    EXPECT_EQ(flash_status(), 0x02);
    command(0x04);
    EXPECT_EQ(flash_status(), 0x00);
}

TEST_F(FlashTest, ProgramWithoutWriteEnableDoesNothing)
{
    start();
    program_word(0x000100, 0x12345678);
    EXPECT_EQ(flash_status(), 0x00);
    EXPECT_EQ(read_word(0x000100), 0xffffffffu);
}

TEST_F(FlashTest, ProgramOnlyClearsBitsAndEndsTheLatch)
{
    start({"CARDSIM_FLASH_BUSY_TIME=0"});
    command(0x06);
    program_word(0x000100, 0x12345678);
    EXPECT_EQ(flash_status(), 0x00);
    EXPECT_EQ(read_word(0x000100), 0x12345678u);
    command(0x06);
    program_word(0x000100, 0xffff00ff);
    EXPECT_EQ(read_word(0x000100), 0x12340078u);
    EXPECT_EQ(file("flash").substr(0x100, 4), std::string("\x78\x00\x34\x12", 4));
}

TEST_F(FlashTest, WriteInProgressLastsTheFlashBusyTime)
{
    start({"CARDSIM_FLASH_BUSY_TIME=0.01"});
    command(0x06);
    program_word(0x000000, 0);
    EXPECT_EQ(flash_status(), 0x03);
    EXPECT_EQ(read_word(0), 0xffffffffu);  // no reads while the program runs
    usleep(9999);
    EXPECT_EQ(flash_status(), 0x03);
    usleep(1);
    EXPECT_EQ(flash_status(), 0x00);
    EXPECT_EQ(read_word(0), 0u);
}

TEST_F(FlashTest, ChipEraseSetsEveryByte)
{
    start();
    command(0x06);
    program_word(0x3ffffc, 0x01020304);
    usleep(50000);
    EXPECT_EQ(read_word(0x3ffffc), 0x01020304u);
    command(0xc7);  // without the latch: nothing
    EXPECT_EQ(flash_status(), 0x00);
    EXPECT_EQ(read_word(0x3ffffc), 0x01020304u);
    command(0x06);
    command(0xc7);
    EXPECT_EQ(flash_status(), 0x03);
    sleep(1);
    EXPECT_EQ(flash_status(), 0x00);
    EXPECT_EQ(read_word(0x3ffffc), 0xffffffffu);
    EXPECT_EQ(file("flash"), std::string(4u << 20, '\xff'));
}

TEST_F(FlashTest, PageProgramOf33TransfersWritesTheWholePage)
{
    start({"CARDSIM_FLASH_BUSY_TIME=0"});
    unsigned char page[256];
    for (int i = 0; i < 256; ++i)
        page[i] = (unsigned char)(255 - i);
    auto word = [&](int at) { return uint32_t(page[at]) | page[at + 1] << 8 | page[at + 2] << 16 | uint32_t(page[at + 3]) << 24; };
    command(0x06);
    uint32_t first = word(0);
    transfer(with_address(0x02, 0x012300), 0x80a0, &first);
    for (int k = 0; k < 31; ++k) {
        uint32_t second = word(8 * k + 8);
        transfer(word(8 * k + 4), 0x8020, &second);
    }
    transfer(word(252), 0x4060);
    EXPECT_EQ(flash_status(), 0x00);
    for (int w = 0; w < 64; ++w)
        EXPECT_EQ(read_word(0x012300 + 4 * w), word(4 * w)) << w;
    EXPECT_EQ(file("flash").substr(0x012300, 256), std::string((char*)page, 256));
}

TEST_F(FlashTest, ProgramWrapsWithinItsPage)
{
    start({"CARDSIM_FLASH_BUSY_TIME=0"});
    command(0x06);
    program_word(0x0001fe, 0x44332211);
    std::string f = file("flash");
    EXPECT_EQ(f.substr(0x1fe, 2), "\x11\x22");
    EXPECT_EQ(f.substr(0x100, 2), "\x33\x44");
    EXPECT_EQ(f.substr(0x200, 2), "\xff\xff");
}

TEST_F(FlashTest, DeepPowerDownServesOnlyTheRelease)
{
    start();
    command(0xb9);
    transfer(0x109f, 0x13f0);
    EXPECT_EQ(reg(0x1c), 0x00ffffffu);
    command(0x06);
    EXPECT_EQ(flash_status(), 0xff);
    EXPECT_EQ(identify(), 0x001620c2u);  // begins with the release
    EXPECT_EQ(flash_status(), 0x00);     // the write enable in power-down was lost
}

TEST_F(FlashTest, SpiBusyControllerNeverReportsFree)
{
    start({"CARDSIM_FAULTS=spi-busy"});
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(reg(0x10) & 0xff, 0u);
}

TEST_F(FlashTest, StuckFlashNeverFinishes)
{
    start({"CARDSIM_FAULTS=flash-stuck"});
    command(0x06);
    command(0xc7);
    EXPECT_EQ(busy_polls(250), 250);
    sleep(1000);
    EXPECT_EQ(flash_status(), 0x03);
}

TEST_F(FlashTest, FlashPersistsInTheState)
{
    start({"CARDSIM_FLASH_BUSY_TIME=0"});
    command(0x06);
    program_word(0x000010, 0xa5a5a5a5);
    ASSERT_EQ(cardsim_reload(), 0);
    EXPECT_EQ(read_word(0x000010), 0xa5a5a5a5u);
    EXPECT_EQ(file("flash").size(), 4u << 20);
}
