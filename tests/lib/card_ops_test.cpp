// SPDX-License-Identifier: GPL-2.0-or-later
#include "card_ops.h"
#include "sim_card.h"

namespace {

using Procedures = SimCard;

// The EEPROM command words of the one-byte writes at 20 and 21.
const std::string store20 = "WINDOW_WRITE 0x00 0x14000130";
const std::string store21 = "WINDOW_WRITE 0x00 0x15000130";

// Whether each text stands in the trace, the first of each after the first
// of the one before.
::testing::AssertionResult in_order(const std::vector<Event>& t, const std::vector<std::string>& texts)
{
    int before = -1;
    for (const auto& text : texts) {
        int at = -1;
        for (size_t i = 0; i < t.size() && at < 0; ++i)
            if (t[i].what == text)
                at = int(i);
        if (at < 0)
            return ::testing::AssertionFailure() << "no \"" << text << "\" in the trace";
        if (at <= before)
            return ::testing::AssertionFailure() << "\"" << text << "\" comes too early";
        before = at;
    }
    return ::testing::AssertionSuccess();
}

TEST_F(Procedures, SoftwareResetOfTheWindowProgramLooksBeforeSleeping)
{
    select(zeb_program_ravelin);
    start();
    EXPECT_EQ(software_reset(card), 0);
    EXPECT_EQ(messages(), (std::vector<std::string>{"software Reset, please wait several seconds...",
                                                    "software Reset OK!"}));
    EXPECT_TRUE(events("SLEEP 2").empty());
    EXPECT_EQ(events("WINDOW_READ 0x00").size(), 1u);
    EXPECT_NEAR(message_times().back(), 0.015, 1e-9);
}

TEST_F(Procedures, SoftwareResetOfTheToolSleepsFirst)
{
    start();
    EXPECT_EQ(software_reset(card), 0);
    EXPECT_EQ(printed(), "software Reset, please wait several seconds...\nsoftware Reset OK!\n");
    EXPECT_EQ(events("SLEEP 2.000000000").size(), 1u);
    EXPECT_NEAR(message_times().back(), 2.015, 1e-9);
    EXPECT_EQ(events("REG_WRITE").front().what, "REG_WRITE 0x44 0x00000001");
}

TEST_F(Procedures, ResetsCountTheBusyRounds)
{
    // busy for 3 s after the restart: two looks at 0.015 and 2.015 s see it busy
    select(zeb_program_ravelin);
    start({"CARDSIM_BUSY_TIME=3"});
    EXPECT_EQ(software_reset(card), 2);
    EXPECT_NEAR(message_times().back(), 4.015, 1e-9);

    select(zeb_program_ravelins);
    start({"CARDSIM_BUSY_TIME=3"});
    EXPECT_EQ(software_reset(card), 1);
    EXPECT_NEAR(message_times().back(), 4.015, 1e-9);
}

TEST_F(Procedures, ResetsGiveUpAfterAHundredRoundsWithoutTheOkLine)
{
    for (const zeb_program* program : {&zeb_program_ravelin, &zeb_program_ravelins}) {
        select(*program);
        start({"CARDSIM_FAULTS=busy=forever"});
        clear_messages();
        EXPECT_EQ(software_reset(card), 100);
        EXPECT_EQ(messages(), std::vector<std::string>{"software Reset, please wait several seconds..."});
        EXPECT_EQ(events("SLEEP 2.000000000").size(), 100u);
        EXPECT_EQ(events("WINDOW_READ 0x00").size(), 100u);
        EXPECT_NEAR(now(), 200.015, 1e-9);

        start({"CARDSIM_FAULTS=busy=forever"});
        clear_messages();
        EXPECT_EQ(mcu_reset(card), 100) << program->name;
        EXPECT_EQ(messages(), std::vector<std::string>{"MCU Reset, please wait several seconds..."});
        EXPECT_EQ(events("SLEEP 2.000000000").size(), 100u);
    }
}

TEST_F(Procedures, McuResetSleepsBeforeItsFirstLook)
{
    for (const zeb_program* program : {&zeb_program_ravelin, &zeb_program_ravelins}) {
        select(*program);
        start();
        clear_messages();
        EXPECT_EQ(mcu_reset(card), 0);
        EXPECT_EQ(printed(), "MCU Reset, please wait several seconds...\nMCU Reset OK!\n");
        EXPECT_EQ(events("WINDOW_WRITE 0x00").front().what, "WINDOW_WRITE 0x00 0x00000003");
        EXPECT_EQ(events("SLEEP 2.000000000").size(), 1u);
        EXPECT_GE(message_times().back(), 2.0);
    }
}

TEST_F(Procedures, AutoModeOfTheWindowProgramStoresTheModeFirst)
{
    select(zeb_program_ravelin);
    start({}, eeprom_with({{20, {0, 5}}}));
    output_auto(card);
    EXPECT_EQ(messages(),
              std::vector<std::string>{"set output format to auto mode(the same with input format)"});
    EXPECT_TRUE(in_order(trace(), {store20, store21, "REG_WRITE 0x48 0x00000001"}));
    EXPECT_EQ(hex_bytes(eeprom(), 20, 2), "01 00");
}

TEST_F(Procedures, AutoModeOfTheToolStoresTheModeAfterTheRestart)
{
    start({}, eeprom_with({{20, {0, 5}}}));
    output_auto(card);
    EXPECT_EQ(printed(), "set output format to auto mode(the same with input format)\n"
                         "Format is setting, please wait...\nFormat is set OK!\n");
    EXPECT_TRUE(in_order(trace(), {"REG_WRITE 0x48 0x00000001", "SLEEP 2.000000000", store20, store21}));
    EXPECT_EQ(hex_bytes(eeprom(), 20, 2), "01 00");
}

TEST_F(Procedures, ManualModeUsesTheLowByteOfThePreset)
{
    start();
    output_manual(card, 258);
    EXPECT_EQ(printed(), "set output format to manual mode:\nultra 1440*1080 \n"
                         "Format is setting, please wait...\nFormat is set OK!\n");
    EXPECT_EQ(hex_bytes(eeprom(), 20, 2), "00 02");
    EXPECT_TRUE(in_order(trace(), {"REG_WRITE 0x4c 0x00000002", store20, store21}));

    restart_as(zeb_program_ravelin);
    output_manual(card, 4);
    EXPECT_EQ(messages(), (std::vector<std::string>{"set output format to manual mode:",
                                                    "good 1120*640 "}));
    EXPECT_TRUE(in_order(trace(), {store20, store21, "REG_WRITE 0x4c 0x00000004"}));
    EXPECT_EQ(hex_bytes(eeprom(), 20, 2), "00 04");
}

TEST_F(Procedures, ManualPresetZeroIsProgrammedAndStored)
{
    start({}, eeprom_with({{20, {1, 6}}}));
    output_manual(card, 0);
    EXPECT_EQ(printed(),
              "set output format to manual mode:\n"
              "-M : manual (1--7,1:super 1920*1080,2:ultra 1440*1080,3:excellent 1280*720,4:good "
              "1120*720,5:fair 960*540,6:poor 800*480,7: mobile 480*272)\n"
              "Format is setting, please wait...\nFormat is set OK!\n");
    EXPECT_EQ(hex_bytes(eeprom(), 20, 2), "00 00");
    EXPECT_EQ(events("REG_WRITE 0x4c").front().what, "REG_WRITE 0x4c 0x00000000");
}

TEST_F(Procedures, AdvancedModeClearsTheModeBytesThenStoresTheEntries)
{
    start({}, eeprom_with({{20, {1, 3}}}));
    output_advanced(card, {1, 40, 1280, 720, 4000, 30});
    EXPECT_EQ(printed(), "set output format to advanced: 1,40,1280,720,4000,30\n"
                         "Format is setting, please wait...\nFormat is set OK!\n");
    auto e = eeprom();
    EXPECT_EQ(hex_bytes(e, 16, 6), "00 0b 60 00 00 00");
    EXPECT_EQ(hex_bytes(e, 32, 12), "15 26 02 28 15 2c 05 00 15 2e 02 d0");
    auto words = events("WINDOW_WRITE 0x00");
    ASSERT_GE(words.size(), 3u);
    EXPECT_EQ(words[0].what, store20);
    EXPECT_EQ(words[1].what, store21);
    EXPECT_EQ(words[2].what, "WINDOW_WRITE 0x00 0x10000230");

    restart_as(zeb_program_ravelin);
    output_advanced(card, {0, 42, 1920, 1080, 18000, 60});
    EXPECT_EQ(messages(),
              std::vector<std::string>{"set output format to advanced: 0,42,1920,1080,18000,60"});
}

}  // namespace
