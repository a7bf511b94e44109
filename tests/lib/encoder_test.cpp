// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim_card.h"

#include <algorithm>
#include <climits>
#include <string>

namespace {

using Encoder = SimCard;

// The eleven stored entries, address and value high byte first, as hex.
std::string entries(const std::vector<unsigned char>& e) { return hex_bytes(e, 32, 44); }

int commands(const std::vector<Event>& writes)
{
    return int(std::count_if(writes.begin(), writes.end(), [](const Event& e) {
        return e.what.rfind("WINDOW_WRITE 0x00", 0) == 0;
    }));
}

TEST_F(Encoder, AdvancedSettingStoresCountAndElevenEntries)
{
    start();
    card.advanced_setting({0, 41, 1920, 1080, 101, 30});
    auto e = eeprom();
    EXPECT_EQ(hex_bytes(e, 16, 2), "00 0b");
    EXPECT_EQ(entries(e),
              "15 26 01 29 15 2c 07 80 15 2e 04 38 15 32 00 fc 15 34 00 ca 15 36 00 65 "
              "15 38 00 32 11 04 01 61 15 84 00 00 15 86 00 3c 15 88 00 01");
    EXPECT_EQ(printed(), "Format is setting, please wait...\nFormat is set OK!\n");
    // the count, then two stores per entry, then the restart
    EXPECT_EQ(commands(trace()), 23);
    EXPECT_EQ(events("WINDOW_WRITE 0x00").front().what, "WINDOW_WRITE 0x00 0x10000230");
    EXPECT_EQ(events("REG_WRITE").front().what, "REG_WRITE 0x44 0x00000001");
}

TEST_F(Encoder, MainProfileIsOneAndEveryOtherValueIsHigh)
{
    start();
    card.advanced_setting({1, 30, 1280, 720, 350, 24});
    EXPECT_EQ(hex_bytes(eeprom(), 32, 4), "15 26 02 1e");
    card.advanced_setting({7, 42, 1280, 720, 350, 24});
    EXPECT_EQ(hex_bytes(eeprom(), 32, 4), "15 26 01 2a");
    card.advanced_setting({-1, 40, 1280, 720, 350, 24});
    EXPECT_EQ(hex_bytes(eeprom(), 32, 4), "15 26 01 28");
}

TEST_F(Encoder, LargestOfferedBitRateFitsSixteenBits)
{
    start();
    card.advanced_setting({0, 42, 1920, 1080, 18000, 60});
    // 45000, 36000, 18000, 9000, 63000
    EXPECT_EQ(hex_bytes(eeprom(), 44, 20),
              "15 32 af c8 15 34 8c a0 15 36 46 50 15 38 23 28 11 04 f6 18");
    EXPECT_EQ(hex_bytes(eeprom(), 68, 4), "15 86 00 78");
}

TEST_F(Encoder, OverflowingEntriesKeepTheirLowSixteenBits)
{
    start();
    card.advanced_setting({0, 42, 70000, 1080, 20000, 30});
    // width 70000 = 0x11170; 3.5 x 20000 = 70000
    EXPECT_EQ(hex_bytes(eeprom(), 36, 4), "15 2c 11 70");
    EXPECT_EQ(hex_bytes(eeprom(), 44, 20),
              "15 32 c3 50 15 34 9c 40 15 36 4e 20 15 38 27 10 11 04 11 70");

    card.advanced_setting({0, INT_MAX, 1920, 1080, INT_MAX, -1});
    EXPECT_EQ(hex_bytes(eeprom(), 32, 4), "15 26 00 ff");
    EXPECT_EQ(hex_bytes(eeprom(), 44, 20),
              "15 32 ff fd 15 34 ff fe 15 36 ff ff 15 38 ff ff 11 04 ff fc");
    EXPECT_EQ(hex_bytes(eeprom(), 68, 4), "15 86 ff fe");

    card.advanced_setting({0, 40, 1920, 1080, -101, 30});
    // -252.5, -202, -101, -50.5, -353.5 truncated toward zero
    EXPECT_EQ(hex_bytes(eeprom(), 44, 20),
              "15 32 ff 04 15 34 ff 36 15 36 ff 9b 15 38 ff ce 11 04 fe 9f");
}

TEST_F(Encoder, RegisterEntriesAreReadBackAsValues)
{
    start();
    int addrs[3] = {0x1234, 0x5678, 0x9abc};
    int values[3] = {1, 0x0203, 0xfffe};
    card.write_M23Register(3, addrs, values);
    EXPECT_EQ(hex_bytes(eeprom(), 32, 12), "12 34 00 01 56 78 02 03 9a bc ff fe");
    int back[4] = {-7, -7, -7, -7};
    card.read_M23Register(3, back);
    EXPECT_EQ(std::vector<int>(back, back + 4), (std::vector<int>{1, 0x0203, 0xfffe, -7}));

    const auto before = requests().size();
    card.write_M23Register(0, addrs, values);
    card.write_M23Register(-1, addrs, values);
    EXPECT_EQ(requests().size(), before);
}

struct Readback {
    std::vector<unsigned char> eeprom;
    std::string ravelins;                  // printed
    std::vector<std::string> ravelin;      // logged
    std::vector<unsigned char> mode;       // bytes 0 to 2
};

TEST_F(Encoder, LatestConfigurationEachBranch)
{
    // width 1280, height 720, twice the frame rate 59
    auto advanced = eeprom_with({{16, {0, 11}},
                                 {20, {0, 0}},
                                 {32, {0x15, 0x26, 0x01, 0x29, 0x15, 0x2c, 0x05, 0x00, 0x15, 0x2e,
                                       0x02, 0xd0}},
                                 {68, {0x15, 0x86, 0x00, 59}}});
    const std::vector<Readback> cases = {
        {eeprom_with({{20, {1, 3}}}), "the latest setting is Auto mode!\n",
         {"the latest setting is Auto mode!"}, {1, 0, 0}},
        {eeprom_with({{20, {0, 3}}}), "the latest setting is Manual mode:excellent 1280*720 \n",
         {"the latest setting is Manual mode:", "excellent 1280*720"}, {0, 3, 0}},
        {eeprom_with({{20, {0, 9}}}), "the latest setting is Manual mode:",
         {"the latest setting is Manual mode:", "no"}, {0, 9, 0}},
        {advanced, "the latest setting is Advanced mode: 1280 * 720 29 \n",
         {"the latest setting is Advanced mode: 1280 * 720 29 "}, {0, 0, 11}},
        {eeprom_with({{16, {0, 0}}, {20, {0, 0}}}), "", {}, {0, 0, 0}},
        {eeprom_with({{16, {0, 7}}, {20, {0, 0}}}), "", {}, {0, 0, 7}},
    };
    for (const auto& c : cases) {
        start({}, c.eeprom);
        int regs[zeb_eeprom::encoder_entries];
        std::fill(std::begin(regs), std::end(regs), -7);
        unsigned char mode[4] = {0xaa, 0xaa, 0xaa, 0xaa};
        clear_messages();
        card.getoutputformat(regs, mode);
        EXPECT_EQ(printed(), c.ravelins);

        clear_messages();
        select(zeb_program_ravelin);
        card.getoutputformat(regs, mode);
        select(zeb_program_ravelins);
        EXPECT_EQ(messages(), c.ravelin);
        EXPECT_EQ(std::vector<unsigned char>(mode, mode + 3), c.mode) << c.ravelins;
        if (c.mode[2] == 11) {
            EXPECT_EQ(regs[zeb_encoder::width], 1280);
            EXPECT_EQ(regs[zeb_encoder::height], 720);
            EXPECT_EQ(regs[zeb_encoder::frame_rate_x2], 59);
            EXPECT_EQ(regs[zeb_encoder::profile_level], 0x0129);
        } else {
            EXPECT_EQ(regs[zeb_encoder::profile_level], -7);
        }
    }
}

TEST_F(Encoder, LatestManualPresetTextsOfTheWindowProgram)
{
    const std::vector<std::string> labels = {"super 1920*1080", "ultra 1440*1080 ",
                                             "excellent 1280*720", "good 1120*640",
                                             "fair 960*540", "poor 800*480", "mobile 480*272"};
    const std::vector<std::string> tool = {"super 1920*1080 ", "ultra 1440*1080 ",
                                           "excellent 1280*720 ", "good 1120*720 ",
                                           "fair 960*540 ", "poor 800*480 ", "mobile 480*272 "};
    for (unsigned char p = 1; p <= 7; ++p) {
        start({}, eeprom_with({{20, {0, p}}}));
        int regs[zeb_eeprom::encoder_entries];
        unsigned char mode[4];
        clear_messages();
        select(zeb_program_ravelin);
        card.getoutputformat(regs, mode);
        EXPECT_EQ(messages(),
                  (std::vector<std::string>{"the latest setting is Manual mode:", labels[p - 1]}));
        clear_messages();
        select(zeb_program_ravelins);
        card.getoutputformat(regs, mode);
        EXPECT_EQ(printed(), "the latest setting is Manual mode:" + tool[p - 1] + "\n");
    }
}

TEST_F(Encoder, MuteRestartsTheCaptureOnlyInTheWindowProgram)
{
    start();
    card.setMute(1);
    EXPECT_EQ(eeprom()[22], 1);
    EXPECT_TRUE(events("SLEEP 2.000000000").empty());
    EXPECT_TRUE(events("REG_WRITE").empty());
    EXPECT_EQ(printed(), "");

    card.setMute(0x107);
    EXPECT_EQ(eeprom()[22], 7);

    select(zeb_program_ravelin);
    const double before = now();
    card.setMute(0);
    EXPECT_EQ(eeprom()[22], 0);
    EXPECT_GE(now() - before, 2.0);
    EXPECT_EQ(events("REG_WRITE 0x44").size(), 2u);
    EXPECT_TRUE(messages().empty());
}

TEST_F(Encoder, ProgramNameIsStoredBytewiseWithoutTerminator)
{
    start({}, eeprom_with({{96, {'x', 'x', 'x', 'x', 'x'}}}));
    unsigned char name[] = "abc";
    card.setprogname(name);
    auto e = eeprom();
    EXPECT_EQ(hex_bytes(e, 18, 2), "60 03");
    EXPECT_EQ(hex_bytes(e, 96, 5), "61 62 63 78 78");
    EXPECT_EQ(commands(trace()), 5);
    EXPECT_EQ(printed(), "Format is setting, please wait...\nFormat is set OK!\n");
}

TEST_F(Encoder, EmptyProgramNameStoresOnlyStartAndLength)
{
    start({}, eeprom_with({{19, {5}}, {96, {'x'}}}));
    unsigned char name[] = "";
    card.setprogname(name);
    EXPECT_EQ(hex_bytes(eeprom(), 18, 2), "60 00");
    EXPECT_EQ(eeprom()[96], 'x');
    EXPECT_EQ(commands(trace()), 2);
    EXPECT_EQ(events("REG_WRITE 0x44").size(), 2u);
}

TEST_F(Encoder, ProgramNameFillsTheNameAreaUpToTheLastAddress)
{
    start();
    std::string name(160, 'n');
    name[159] = 'z';
    card.setprogname(reinterpret_cast<unsigned char*>(name.data()));
    auto e = eeprom();
    EXPECT_EQ(e[19], 160);
    EXPECT_EQ(std::string(e.begin() + 96, e.end()), name);
    EXPECT_EQ(hex_bytes(e, 0, 24), hex_bytes(eeprom_with({{19, {160}}}), 0, 24));
}

TEST_F(Encoder, ProgramNameLongerThanTheAreaIsRefusedAndNothingIsWritten)
{
    auto stored = eeprom_with({{19, {3}}, {96, {'o', 'l', 'd'}}});
    start({}, stored);
    std::string name(161, 'n');
    card.setprogname(reinterpret_cast<unsigned char*>(name.data()));
    EXPECT_EQ(printed(),
              "program name too long: 161 bytes (at most 160); the stored name is unchanged\n");
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(eeprom(), stored);

    clear_messages();
    select(zeb_program_ravelin);
    std::string longer(300, 'n');
    card.setprogname(reinterpret_cast<unsigned char*>(longer.data()));
    EXPECT_EQ(messages(), std::vector<std::string>{
                              "program name too long: 300 bytes (at most 160); the stored name "
                              "is unchanged"});
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(now(), 0.0);
}

}  // namespace
