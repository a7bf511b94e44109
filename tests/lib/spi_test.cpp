// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim_card.h"

#include "run.h"

#include <algorithm>
#include <functional>

namespace {

using Flash = SimCard;

int count(const std::vector<Event>& events, const std::string& what)
{
    return int(std::count_if(events.begin(), events.end(),
                             [&](const Event& e) { return e.what == what; }));
}

// The flash image; the card creates it blank when it first touches it.
std::string flash_image(const std::string& dir)
{
    std::string image = testsupport::read_file(dir + "/flash");
    return image.empty() ? std::string(4 << 20, '\xff') : image;
}

std::string flash(const std::string& dir, unsigned at, unsigned n)
{
    std::string image = flash_image(dir);
    std::vector<unsigned char> bytes(image.begin() + at, image.begin() + at + n);
    return hex_bytes(bytes, 0, int(n));
}

const std::string not_free = "----------spi flash check error! 0, 0, 0, 0\n";

TEST_F(Flash, IdentificationAcceptsTwoFlashes)
{
    for (const char* accepted : {"c2:20:16", "ef:40:16"}) {
        start({std::string("CARDSIM_FLASH_ID=") + accepted});
        clear_messages();
        unsigned char id[7] = {};
        EXPECT_EQ(card.spi_GetFlashID(id), 1) << accepted;
        EXPECT_EQ(printed(), "version:0x1\nversion:0x2\nversion:0x3\nversion:0x4\n");
    }
    unsigned char id[7] = {};
    card.spi_GetFlashID(id);
    EXPECT_EQ(hex_bytes(std::vector<unsigned char>(id, id + 7), 0, 7), "ef 40 16 01 02 03 04");
    auto r = requests();
    ASSERT_EQ(r.size(), 18u);
    EXPECT_EQ(std::vector<std::string>(r.begin() + 9, r.end()), (std::vector<std::string>{
                              "REG_WRITE 0x1c 0x00000001",
                              "REG_WRITE 0x14 0x000000ab",
                              "REG_WRITE 0x10 0x000010e0",
                              "REG_READ 0x10 0x00000001",
                              "REG_WRITE 0x14 0x0000109f",
                              "REG_WRITE 0x10 0x000013f0",
                              "REG_READ 0x10 0x00000001",
                              "REG_READ 0x1c 0x001640ef",
                              "REG_READ 0x20 0x04030201",
                          }));
}

TEST_F(Flash, OtherIdentificationIsRefusedButStillFilledAndReported)
{
    start({"CARDSIM_FLASH_ID=ef:40:17"});
    select(zeb_program_ravelin);
    unsigned char id[7] = {};
    EXPECT_EQ(card.spi_GetFlashID(id), 0);
    EXPECT_EQ(hex_bytes(std::vector<unsigned char>(id, id + 7), 0, 7), "ef 40 17 01 02 03 04");
    EXPECT_EQ(messages(), (std::vector<std::string>{"version:0x1\n", "version:0x2\n",
                                                    "version:0x3\n", "version:0x4\n"}));
}

TEST_F(Flash, EraseThenPollTheStatusUntilItIsDone)
{
    start({"CARDSIM_FLASH_BUSY_TIME=0.01"});
    unsigned char addr[3] = {0x00, 0x00, 0x40};
    unsigned int word = 0x12345678;
    card.spi_WriteEnable();
    ASSERT_EQ(card.spi_Write32bit(addr, &word), 1);
    EXPECT_EQ(flash(dir, 0x40, 4), "78 56 34 12");

    EXPECT_EQ(card.spi_ChipErase(), 1);
    auto r = requests();
    ASSERT_GE(r.size(), 3u);
    EXPECT_EQ(r[r.size() - 2], "REG_WRITE 0x14 0x000000c7");
    EXPECT_EQ(r.back(), "REG_WRITE 0x10 0x000010e0");  // the erase is not waited for
    clear_messages();

    int polls = 0;
    while (!card.spi_ChipEraseStatus() && polls < 100)
        ++polls;
    EXPECT_GT(polls, 0);
    std::string expected;
    for (int i = 0; i < polls; ++i)
        expected += "read status register: 3\n";  // write in progress, write enabled
    EXPECT_EQ(printed(), expected + "read status register: 0\n");
    EXPECT_EQ(flash(dir, 0x40, 4), "ff ff ff ff");
    EXPECT_EQ(count(trace(), "SLEEP 0.002000000"), polls + 1);
}

TEST_F(Flash, OneWordWrittenAndReadBack)
{
    start();
    unsigned char addr[3] = {0x00, 0x12, 0x34};
    unsigned int word = 0xdeadbeef;
    card.spi_WriteEnable();
    EXPECT_EQ(card.spi_Write32bit(addr, &word), 1);
    EXPECT_EQ(flash(dir, 0x1234, 4), "ef be ad de");
    auto r = requests();
    auto program = std::find(r.begin(), r.end(), "REG_WRITE 0x14 0x34120002");
    ASSERT_NE(program, r.end());
    // the first status poll carries the upper bytes of the program's control word
    EXPECT_EQ(std::vector<std::string>(program, program + 7),
              (std::vector<std::string>{"REG_WRITE 0x14 0x34120002", "REG_WRITE 0x18 0xdeadbeef",
                                        "REG_WRITE 0x10 0x341280e0", "REG_READ 0x10 0x00000001",
                                        "REG_WRITE 0x14 0x34128005", "REG_WRITE 0x10 0x341211f0",
                                        "REG_READ 0x10 0x00000001"}));

    unsigned int back = 0;
    EXPECT_EQ(card.spi_read32bit(addr, &back), 1);
    EXPECT_EQ(back, 0xdeadbeefu);
    EXPECT_EQ(events("REG_WRITE 0x14").back().what, "REG_WRITE 0x14 0x34120003");
    EXPECT_EQ(events("REG_WRITE 0x10").back().what, "REG_WRITE 0x10 0x341244f0");
    EXPECT_EQ(printed(), "");
}

TEST_F(Flash, ProgramOnlyAfterWriteEnable)
{
    start();
    unsigned char addr[3] = {0x00, 0x00, 0x10};
    unsigned int word = 0;
    EXPECT_EQ(card.spi_Write32bit(addr, &word), 1);
    card.spi_WriteEnable();
    card.spi_WriteDisable();
    EXPECT_EQ(card.spi_Write32bit(addr, &word), 1);
    EXPECT_EQ(flash(dir, 0x10, 4), "ff ff ff ff");
    EXPECT_EQ(printed(), "");
}

TEST_F(Flash, WholePageWrittenInThirtyThreeTransfersAndReadBack)
{
    start();
    unsigned char page[256];
    for (int i = 0; i < 256; ++i)
        page[i] = (unsigned char)(i ^ 0x5a);
    unsigned char addr[3] = {0x01, 0x02, 0x00};
    EXPECT_EQ(card.spi_Write1page(addr, page), 1);
    EXPECT_EQ(printed(), "");

    std::string image = flash_image(dir);
    EXPECT_EQ(image.substr(0x010200, 256), std::string(page, page + 256));
    EXPECT_EQ(image.substr(0x010100, 256), std::string(256, '\xff'));
    EXPECT_EQ(image.substr(0x010300, 256), std::string(256, '\xff'));

    std::vector<std::string> controls;
    for (const auto& e : events("REG_WRITE 0x10"))
        controls.push_back(e.what.substr(15));
    // write enable, first, 31 middle, last, then the status polls
    ASSERT_GE(controls.size(), 35u);
    EXPECT_EQ(controls[0], "0x000010e0");
    EXPECT_EQ(controls[1], "0x000280a0");
    for (int k = 0; k < 31; ++k)
        EXPECT_EQ(controls[2 + k].substr(6), "8020") << k;
    EXPECT_EQ(controls[2].substr(0, 6), "0x5d5c");  // bytes 7 and 6 of the page
    EXPECT_EQ(controls[33], "0xa5a44060");
    EXPECT_EQ(controls[34], "0xa5a411f0");
    EXPECT_EQ(events("REG_WRITE 0x18").size(), 32u);
}

TEST_F(Flash, PageReadStepsFourBytesFromTheGivenAddress)
{
    start();
    unsigned char page[256];
    for (int i = 0; i < 256; ++i)
        page[i] = (unsigned char)i;
    unsigned char at[3] = {0x00, 0x01, 0x00};
    ASSERT_EQ(card.spi_Write1page(at, page), 1);
    at[1] = 0x02;
    ASSERT_EQ(card.spi_Write1page(at, page), 1);
    clear_messages();

    unsigned char addr[4] = {0x00, 0x01, 0x00, 0x77};
    unsigned char buf[256] = {};
    EXPECT_EQ(card.spi_read1page(addr, buf), 1);
    EXPECT_EQ(std::string(buf, buf + 256), std::string(page, page + 256));
    // left at the last word read; the fourth byte is not used
    EXPECT_EQ(hex_bytes(std::vector<unsigned char>(addr, addr + 4), 0, 4), "00 01 fc 77");
    auto m = messages();
    ASSERT_EQ(m.size(), 64u);
    EXPECT_EQ(m[0], " spi_read1page addr: 100\n  ( 3020100)");
    EXPECT_EQ(m[63], " spi_read1page addr: 1fc\n  ( fffefdfc)");
    EXPECT_EQ(count(trace(), "SLEEP 0.001000000"), 64);
    EXPECT_EQ(events("REG_WRITE 0x14").back().what, "REG_WRITE 0x14 0xfc010003");

    // from the middle of a page on, across into the next
    unsigned char middle[4] = {0x00, 0x01, 0x80, 0x00};
    EXPECT_EQ(card.spi_read1page(middle, buf), 1);
    EXPECT_EQ(std::string(buf, buf + 128), std::string(page + 128, page + 256));
    EXPECT_EQ(std::string(buf + 128, buf + 256), std::string(page, page + 128));
    EXPECT_EQ(hex_bytes(std::vector<unsigned char>(middle, middle + 4), 0, 4), "00 02 7c 00");
}

TEST_F(Flash, BusyControllerEndsEveryOperation)
{
    start({"CARDSIM_FAULTS=spi-busy"});
    unsigned char id[7] = {};
    unsigned char addr[4] = {0, 0, 0, 0};
    unsigned int word = 0;
    unsigned char page[256] = {};

    EXPECT_EQ(card.spi_CheckFree(1), 0);
    EXPECT_EQ(events("REG_READ 0x10").size(), 200u);
    EXPECT_EQ(card.spi_CheckFree(2), 0);
    EXPECT_EQ(events("REG_READ 0x10").size(), 600u);
    EXPECT_EQ(card.spi_CheckFree(7), 0);
    EXPECT_EQ(events("REG_READ 0x10").size(), 1100u);
    EXPECT_EQ(printed(), not_free + not_free + not_free);

    const std::vector<std::pair<std::function<int()>, std::string>> operations = {
        {[&] { card.spi_WriteEnable(); return -1; }, not_free + " spi_WriteEnable error!\n"},
        {[&] { card.spi_WriteDisable(); return -1; }, not_free + " spi_WriteDisable error!\n"},
        {[&] { return card.spi_GetFlashID(id); }, not_free + " spi_GetFlashID error 00 !\n"},
        {[&] { return card.spi_ChipErase(); }, not_free + " spi_WriteEnable error!\n"},
        {[&] { return card.spi_read32bit(addr, &word); }, not_free + " spi_read32bit error!\n"},
        {[&] { return card.spi_read1page(addr, page); }, not_free + " spi_read32bit error!\n"},
        {[&] { return card.spi_Write32bit(addr, &word); }, not_free + " spi_Write32bit 1 error!\n"},
        {[&] { return card.spi_Write1page(addr, page); },
         not_free + " spi_WriteEnable error!\n" + not_free + " spi_Write32bit 1 error!\n"},
        {[&] { card.spi_EnterDeepPowerDown(); return -1; },
         not_free + " spi_EnterDeepPowerDown error!\n"},
    };
    const std::vector<int> results = {-1, -1, 0, 1, 0, 0, 0, 0, -1};
    for (size_t i = 0; i < operations.size(); ++i) {
        clear_messages();
        EXPECT_EQ(operations[i].first(), results[i]) << i;
        EXPECT_EQ(printed(), operations[i].second) << i;
    }
    EXPECT_TRUE(events("REG_WRITE 0x1c 0x00001000").empty());

    select(zeb_program_ravelin);
    clear_messages();
    for (const auto& op : operations)
        op.first();
    EXPECT_TRUE(messages().empty());
}

TEST_F(Flash, ControllerThatSticksDuringTheStatusPolls)
{
    unsigned char addr[3] = {0, 0, 0};
    unsigned int word = 0x12345678;
    // the word program is transfer 1, its first status poll transfer 2
    start({"CARDSIM_FAULTS=spi-busy-after=1"});
    EXPECT_EQ(card.spi_Write32bit(addr, &word), 0);
    EXPECT_EQ(printed(), not_free + " spi_Write32bit 2 error!\n");
    EXPECT_EQ(count(trace(), "SLEEP 0.001000000"), 1);

    // write enable, 33 page transfers, then the first status poll
    unsigned char page[256] = {};
    start({"CARDSIM_FAULTS=spi-busy-after=34"});
    clear_messages();
    EXPECT_EQ(card.spi_Write1page(addr, page), 0);
    EXPECT_EQ(printed(), not_free + " spi_Write32bit 2 error!\n");
    EXPECT_EQ(events("REG_WRITE 0x10").size(), 35u);

    restart_as(zeb_program_ravelin, {"CARDSIM_FAULTS=spi-busy-after=34"});
    EXPECT_EQ(card.spi_Write1page(addr, page), 0);
    EXPECT_TRUE(messages().empty());
}

TEST_F(Flash, ProgramThatNeverFinishes)
{
    start({"CARDSIM_FAULTS=flash-stuck"});
    unsigned char addr[3] = {0, 0, 0};
    unsigned int word = 0;
    card.spi_WriteEnable();
    // the word program counts as done after 50 polls
    EXPECT_EQ(card.spi_Write32bit(addr, &word), 1);
    EXPECT_EQ(printed(),
              "write 16 bit-------------------------------------------------------- register: 3\n");
    EXPECT_EQ(count(trace(), "SLEEP 0.001000000"), 50);
    EXPECT_EQ(events("REG_WRITE 0x10 0x000011f0").size(), 50u);

    start({"CARDSIM_FAULTS=flash-stuck"});
    select(zeb_program_ravelin);
    card.spi_WriteEnable();
    clear_messages();
    EXPECT_EQ(card.spi_Write32bit(addr, &word), 1);
    EXPECT_EQ(messages(), std::vector<std::string>{
                              "write 16 bit-------------------------------------------------------- "
                              "register: 3"});

    // the page program fails after 250 polls, without a pause
    unsigned char page[256] = {};
    restart_as(zeb_program_ravelins, {"CARDSIM_FAULTS=flash-stuck"});
    EXPECT_EQ(card.spi_Write1page(addr, page), 0);
    EXPECT_EQ(printed(),
              "write 16 bit-------------------------------------------------------- register: 3\n");
    auto polls = events("REG_WRITE 0x10");
    EXPECT_EQ(std::count_if(polls.begin(), polls.end(),
                            [](const Event& e) { return e.what.substr(21) == "11f0"; }),
              250);
    EXPECT_EQ(now(), 0.0);

    restart_as(zeb_program_ravelin, {"CARDSIM_FAULTS=flash-stuck"});
    EXPECT_EQ(card.spi_Write1page(addr, page), 0);
    EXPECT_TRUE(messages().empty());
}

TEST_F(Flash, WordProgramThatEndsAtTheFiftiethPollIsStillReported)
{
    start({"CARDSIM_FLASH_BUSY_TIME=0.05"});
    unsigned char addr[3] = {0, 0, 8};
    unsigned int word = 0x0f0f0f0f;
    card.spi_WriteEnable();
    EXPECT_EQ(card.spi_Write32bit(addr, &word), 1);
    EXPECT_EQ(printed(),
              "write 16 bit-------------------------------------------------------- register: 0\n");
    EXPECT_EQ(flash(dir, 8, 4), "0f 0f 0f 0f");
}

TEST_F(Flash, DeepPowerDownUntilTheNextIdentification)
{
    start();
    unsigned char addr[3] = {0, 0, 0};
    unsigned int word = 0;
    card.spi_EnterDeepPowerDown();
    EXPECT_EQ(requests().back(), "REG_WRITE 0x1c 0x00001000");
    card.spi_WriteEnable();
    card.spi_Write32bit(addr, &word);
    EXPECT_EQ(flash(dir, 0, 4), "ff ff ff ff");

    unsigned char id[7];
    EXPECT_EQ(card.spi_GetFlashID(id), 1);
    card.spi_WriteEnable();
    EXPECT_EQ(card.spi_Write32bit(addr, &word), 1);
    EXPECT_EQ(flash(dir, 0, 4), "00 00 00 00");
}

}  // namespace
