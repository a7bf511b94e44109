// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim_card.h"

#include <algorithm>

namespace {

using Capture = SimCard;

TEST_F(Capture, InputFormatIsDecodedFromBothRegisters)
{
    start({"CARDSIM_SIGNAL=1920x1080@59p"});
    unsigned short out[4] = {};
    card.GetCaptureFormat(out);

    EXPECT_EQ(std::vector<unsigned short>(out, out + 4),
              (std::vector<unsigned short>{1920, 1080, 59, 1}));
    EXPECT_EQ(printed(), "input format:\nVRow= 1920, VColumn= 1080, VFreq= 59, VScan= 1\n");
    EXPECT_EQ(requests(), (std::vector<std::string>{"REG_READ 0x48 0x38048007",
                                                    "REG_READ 0x4c 0x0000013b"}));
}

TEST_F(Capture, InterlacedInputHasScanZero)
{
    start({"CARDSIM_SIGNAL=720x576@50i"});
    select(zeb_program_ravelin);
    unsigned short out[4] = {};
    card.GetCaptureFormat(out);
    EXPECT_EQ(std::vector<unsigned short>(out, out + 4),
              (std::vector<unsigned short>{720, 576, 50, 0}));
    EXPECT_EQ(messages(),
              std::vector<std::string>{"input format:\nVRow= 720, VColumn= 576, VFreq= 50, VScan= 0"});
}

TEST_F(Capture, WindowProgramRoundsTheRateAndTheToolDoesNot)
{
    const std::vector<std::pair<int, int>> rounded = {
        {57, 60}, {59, 60}, {60, 60}, {56, 56}, {61, 61}, {48, 50}, {49, 50},
        {50, 50}, {47, 47}, {51, 51}, {23, 24}, {24, 24}, {30, 30}, {0, 0},
    };
    for (const auto& [code, rate] : rounded) {
        unsigned short out[4] = {};
        start({"CARDSIM_SIGNAL=1280x720@" + std::to_string(code) + "p"});
        select(zeb_program_ravelin);
        card.GetCaptureFormat(out);
        EXPECT_EQ(out[2], rate) << "code " << code;
        select(zeb_program_ravelins);
        card.GetCaptureFormat(out);
        EXPECT_EQ(out[2], code) << "code " << code;
    }
}

TEST_F(Capture, AutomaticFormatWritesOnlyTheAutoRegister)
{
    start();
    card.SetCaptureFormat(1, 5);
    EXPECT_EQ(printed(), "Format is setting, please wait...\nFormat is set OK!\n");
    auto regs = events("REG_WRITE");
    ASSERT_EQ(regs.size(), 3u);
    EXPECT_EQ(regs[0].what, "REG_WRITE 0x48 0x00000001");
    EXPECT_EQ(regs[1].what, "REG_WRITE 0x44 0x00000001");
    EXPECT_EQ(regs[2].what, "REG_WRITE 0x44 0x00000000");

    clear_messages();
    select(zeb_program_ravelin);
    card.SetCaptureFormat(1, 5);
    EXPECT_TRUE(messages().empty());
}

TEST_F(Capture, AnyOtherFlagSelectsThePreset)
{
    start();
    card.SetCaptureFormat(2, 3);
    auto regs = events("REG_WRITE");
    ASSERT_GE(regs.size(), 2u);
    EXPECT_EQ(regs[0].what, "REG_WRITE 0x48 0x00000000");
    EXPECT_EQ(regs[1].what, "REG_WRITE 0x4c 0x00000003");
    EXPECT_EQ(printed(), "excellent 1280*720 \nFormat is setting, please wait...\nFormat is set OK!\n");
}

TEST_F(Capture, PresetTextsOfTheTwoPrograms)
{
    start();
    for (unsigned char p = 1; p <= 7; ++p)
        card.SetCaptureFormat(0, p);
    std::string expected;
    for (const char* label : {"super 1920*1080 ", "ultra 1440*1080 ", "excellent 1280*720 ",
                              "good 1120*720 ", "fair 960*540 ", "poor 800*480 ",
                              "mobile 480*272 "})
        expected += std::string(label) + "\nFormat is setting, please wait...\nFormat is set OK!\n";
    EXPECT_EQ(printed(), expected);

    clear_messages();
    select(zeb_program_ravelin);
    for (unsigned char p = 1; p <= 7; ++p)
        card.SetCaptureFormat(0, p);
    EXPECT_EQ(messages(), (std::vector<std::string>{"super 1920*1080 ", "ultra 1440*1080 ",
                                                    "excellent 1280*720 ", "good 1120*640 ",
                                                    "fair 960*540 ", "poor 800*480 ",
                                                    "mobile 480*272 "}));
}

TEST_F(Capture, PresetOutsideOneToSevenIsWrittenWithTheHelpText)
{
    start();
    card.SetCaptureFormat(0, 0);
    card.SetCaptureFormat(0, 8);
    const std::string help =
        "-M : manual (1--7,1:super 1920*1080,2:ultra 1440*1080,3:excellent 1280*720,4:good "
        "1120*720,5:fair 960*540,6:poor 800*480,7: mobile 480*272)\n"
        "Format is setting, please wait...\nFormat is set OK!\n";
    EXPECT_EQ(printed(), help + help);
    auto presets = events("REG_WRITE 0x4c");
    ASSERT_EQ(presets.size(), 2u);
    EXPECT_EQ(presets[0].what, "REG_WRITE 0x4c 0x00000000");
    EXPECT_EQ(presets[1].what, "REG_WRITE 0x4c 0x00000008");

    clear_messages();
    select(zeb_program_ravelin);
    card.SetCaptureFormat(0, 255);
    EXPECT_EQ(messages(),
              std::vector<std::string>{
                  " manual (1--7,1:super 1920*1080,2:ultra 1440*1080,3:excellent 1280*720,4:good "
                  "1120*640,5:fair 960*540,6:poor 800*480,7: mobile 480*272)"});
    EXPECT_EQ(events("REG_WRITE 0x4c").back().what, "REG_WRITE 0x4c 0x000000ff");
}

TEST_F(Capture, RestartOfAnIdleCardLooksOnceAfterTwoSeconds)
{
    start();
    card.worksetreset();
    EXPECT_EQ(printed(), "Format is setting, please wait...\nFormat is set OK!\n");
    auto t = trace();
    std::vector<std::string> what;
    for (const auto& e : t)
        if (e.what.rfind("OPEN", 0) != 0)
            what.push_back(e.what);
    ASSERT_EQ(what.size(), 5u);
    EXPECT_EQ(what[0], "REG_WRITE 0x44 0x00000001");
    EXPECT_EQ(what[1], "SLEEP 0.015000000");
    EXPECT_EQ(what[2], "REG_WRITE 0x44 0x00000000");
    EXPECT_EQ(what[3], "SLEEP 2.000000000");
    EXPECT_EQ(what[4].substr(0, 17), "WINDOW_READ 0x00 ");
    EXPECT_NEAR(message_times().back(), 2.015, 1e-9);
}

TEST_F(Capture, RestartWaitsWhileTheCardIsBusy)
{
    start({"CARDSIM_FAULTS=busy=2"});
    card.worksetreset();
    EXPECT_EQ(events("SLEEP 2.000000000").size(), 3u);
    EXPECT_EQ(printed(), "Format is setting, please wait...\nFormat is set OK!\n");
    EXPECT_NEAR(message_times().back(), 6.015, 1e-9);
}

TEST_F(Capture, RestartGivesUpSilentlyAfterAHundredRounds)
{
    start({"CARDSIM_FAULTS=busy=forever"});
    card.worksetreset();
    EXPECT_EQ(printed(), "Format is setting, please wait...\n");
    EXPECT_EQ(events("SLEEP 2.000000000").size(), 100u);
    EXPECT_EQ(events("WINDOW_READ 0x00").size(), 100u);
    EXPECT_NEAR(now(), 200.015, 1e-9);

    clear_messages();
    select(zeb_program_ravelin);
    card.worksetreset();
    EXPECT_TRUE(messages().empty());
}

}  // namespace
