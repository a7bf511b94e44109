// SPDX-License-Identifier: GPL-2.0-or-later
// ravelins run as a user would, against the simulated card: cardsim -- ravelins ARGS.
#include "run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

const bool i386_build = sizeof(void*) == 4;

const std::string usage_text =
    "\n"
    "Usage: ravelins:\n"
    "-a <adapter> -n <frontend number> \n"
    "-i : putout the information format of the input\n"
    "-r : software reset\n"
    "-R : MCU reset\n"
    "-N : Mac address \n"
    "\n"
    "\n"
    "-c : check the latest configuration of the output format\n"
    "-x : set output mute(1:mute,0:normal) when audio and video are out of sync\n"
    "-K <progName> : set program Name \n"
    "set output Format,one of the following three:\n"
    "\n"
    "Auto mode: -A (the same with input format)\n"
    "\n"
    "Manual: -M (1--7,1:super 1920*1080,2:ultra 1440*1080,3:excellent 1280*720,4:good 1120*720,"
    "5:fair 960*540,6:poor 800*480,7:mobile 480*272)\n"
    "\n"
    "Advanced: -p : profile(0:high, 1:Main) -l :level (30/31/32/40/41/42) -H(size) "
    "-V(size)(1920*1080--480*272) -B : bitRate(350--18000K) -F : frameRate : (24--60)\n"
    "~Output Format:\n"
    "\n";

const std::string setting = "Format is setting, please wait...\n";
const std::string set_ok = "Format is set OK!\n";

class Ravelins : public ::testing::Test {
protected:
    void SetUp() override { dir = testsupport::make_temp_dir("cli"); }

    // Runs ravelins with `args` on a card that is idle right after each restart,
    // unless `card` options say otherwise.
    testsupport::Result run(const std::vector<std::string>& args,
                            const std::vector<std::string>& card = {})
    {
        return testsupport::run_under_cardsim(CARDSIM_PATH, dir, RAVELINS_PATH, args, card);
    }

    // A new card's EEPROM with some bytes changed, stored before the run.
    void store_eeprom(const std::vector<std::pair<int, std::vector<unsigned char>>>& changes)
    {
        ASSERT_TRUE(testsupport::store_eeprom(dir, changes));
    }

    std::string eeprom(int from, int count) const { return testsupport::eeprom_hex(dir, from, count); }

    // Trace events without their time, and the time of the last one.
    std::vector<std::string> trace() const { return testsupport::trace_events(dir); }
    int count(const std::string& prefix) const { return testsupport::count_events(dir, prefix); }
    double last_time() const
    {
        std::istringstream in(testsupport::read_file(dir + "/trace"));
        std::string line, last;
        while (std::getline(in, line))
            last = line;
        return last.empty() ? -1 : std::stod(last);
    }
    bool opened() const { return count("OPEN") > 0; }

    std::string dir;
};

TEST_F(Ravelins, UsageWithoutArgumentsHelpOrUnknownOptions)
{
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{}, {"-h"}, {"--help"}, {"--he"}, {"-i", "-h"}}) {
        auto r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, usage_text);
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(opened());
    }

    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"-z"}, {"-i", "-a"}, {"--bogus"}, {"--H"}}) {
        auto r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, usage_text);
        EXPECT_NE(r.err, "");  // the option parser's own diagnostic
        EXPECT_FALSE(opened());
    }
}

TEST_F(Ravelins, OperandsAreRefusedBeforeTheDeviceIsOpened)
{
    auto r = run({"-a", "1", "-n", "0", "-i", "extra"}, {"--node", "1:0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usage_text);
    EXPECT_FALSE(opened());
}

TEST_F(Ravelins, InputFormatOfAdapterZeroFrontendZero)
{
    auto r = run({"-i"}, {"--signal", "1920x1080@59p"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "input format:\nVRow= 1920, VColumn= 1080, VFreq= 59, VScan= 1\n");
    auto t = trace();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].substr(0, 33), "OPEN /dev/dvb/adapter0/frontend0 ");
    EXPECT_EQ(t[1], "REG_READ 0x48 0x38048007");
    EXPECT_EQ(t[2], "REG_READ 0x4c 0x0000013b");

    r = run({"--information"}, {"--signal", "720x480@23i"});
    EXPECT_EQ(r.out, "input format:\nVRow= 720, VColumn= 480, VFreq= 23, VScan= 0\n");
}

TEST_F(Ravelins, MissingNodeReportsTheOpenFailureWithoutNewline)
{
    auto r = run({"-a", "5", "-n", "2", "-i"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "opening device /dev/dvb/adapter5/frontend2 failed (No such file or directory)");
    EXPECT_EQ(count("REG_"), 0);
}

TEST_F(Ravelins, NumbersAreReadInBaseZero)
{
    const std::vector<std::pair<std::string, std::string>> adapters = {
        {"0x1", "1"}, {"01", "1"}, {"010", "8"}, {"x", "0"}, {" +3", "3"}, {"0X0a", "10"},
        {"12abc", "12"}, {"-1", "-1"},
    };
    for (const auto& [text, number] : adapters) {
        auto r = run({"-a", text, "-i"}, {"--node", "7:7"});
        EXPECT_EQ(r.out, "opening device /dev/dvb/adapter" + number +
                             "/frontend0 failed (No such file or directory)")
            << text;
    }
    auto r = run({"-a", "010", "--frontend-number", "0x2", "-i"}, {"--node", "8:2"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 14), "input format:\n");
}

TEST_F(Ravelins, NumbersBeyondThirtyTwoBitsDependOnTheBuild)
{
    auto r = run({"-a", "4294967297", "-n", "-4294967295", "-i"}, {"--node", "9:9"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, i386_build ? "opening device /dev/dvb/adapter2147483647/frontend-2147483648 "
                                  "failed (No such file or directory)"
                                : "opening device /dev/dvb/adapter1/frontend1 failed (No such "
                                  "file or directory)");
    r = run({"-a", "99999999999999999999999", "-i"}, {"--node", "9:9"});
    EXPECT_EQ(r.out, i386_build ? "opening device /dev/dvb/adapter2147483647/frontend0 failed (No "
                                  "such file or directory)"
                                : "opening device /dev/dvb/adapter-1/frontend0 failed (No such "
                                  "file or directory)");
}

TEST_F(Ravelins, SoftwareResetOfAnIdleCardTakesTwoSeconds)
{
    auto r = run({"-r"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "software Reset, please wait several seconds...\nsoftware Reset OK!\n");
    auto t = trace();
    ASSERT_EQ(t.size(), 6u);
    EXPECT_EQ(t[1], "REG_WRITE 0x44 0x00000001");
    EXPECT_EQ(t[2], "SLEEP 0.015000000");
    EXPECT_EQ(t[3], "REG_WRITE 0x44 0x00000000");
    EXPECT_EQ(t[4], "SLEEP 2.000000000");
    EXPECT_EQ(t[5].substr(0, 17), "WINDOW_READ 0x00 ");
    EXPECT_NEAR(last_time(), 2.015, 1e-9);
}

TEST_F(Ravelins, ResetOfACardThatStaysBusyGivesUpAndTheNextActionRuns)
{
    auto r = run({"-R", "-r"}, {"--fault", "busy=forever"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "software Reset, please wait several seconds...\n"
                     "MCU Reset, please wait several seconds...\n");
    EXPECT_EQ(count("SLEEP 2.000000000"), 200);
    EXPECT_EQ(count("WINDOW_WRITE 0x00 0x00000003"), 1);
}

TEST_F(Ravelins, SoftwareResetRunsBeforeMcuReset)
{
    auto r = run({"--MCU", "--software"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "software Reset, please wait several seconds...\nsoftware Reset OK!\n"
                     "MCU Reset, please wait several seconds...\nMCU Reset OK!\n");
    EXPECT_EQ(count("SLEEP 2.000000000"), 2);
}

TEST_F(Ravelins, LongNamesWithBlanksAreWholeArguments)
{
    auto r = run({"--software reset", "--MCU reset", "--Mac address"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "software Reset, please wait several seconds...\nsoftware Reset OK!\n"
                     "MCU Reset, please wait several seconds...\nMCU Reset OK!\n"
                     "mac address: 0x00,0x1a,0x2b,0x3c,0x4d,0x5e\n");
    EXPECT_EQ(r.err, "");

    // the name of -M ends with a blank
    r = run({"--manual mode to output format =6", "--outputformat"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "the latest setting is Auto mode!\n"
                     "set output format to manual mode:\npoor 800*480 \n" + setting + set_ok);
    EXPECT_EQ(eeprom(20, 2), "00 06");

    r = run({"--Auto Mode to output format", "--frontend-number=0", "--adapter=0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "set output format to auto mode(the same with input format)\n" + setting + set_ok);
    EXPECT_EQ(eeprom(20, 2), "01 00");

    r = run({"--manual mode to output format", "2"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(eeprom(20, 2), "00 02");
}

TEST_F(Ravelins, MacAddress)
{
    auto r = run({"-N"}, {"--mac", "02:a0:0b:c1:7d:ff"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "mac address: 0x02,0xa0,0x0b,0xc1,0x7d,0xff\n");
    EXPECT_EQ(count("WINDOW_WRITE 0x00 0x08000631"), 1);

    r = run({"--Mac"});
    EXPECT_EQ(r.out, "mac address: 0x02,0xa0,0x0b,0xc1,0x7d,0xff\n");
}

TEST_F(Ravelins, MailboxThatNeverAnswersIsReportedAndTheToolStillSucceeds)
{
    auto r = run({"-N"}, {"--fault", "receiver-busy"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind(" the receiver always busy !\n\rmac address: 0x", 0), 0u) << r.out;
    EXPECT_EQ(count("SLEEP 0.001000000"), i386_build ? 100 : 1000);

    r = run({"-x", "1"}, {"--fault", "no-completion"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, " wait wt_24cxx_done timeout! \n\r");

    const std::string before = eeprom(22, 1);
    r = run({"-x", "2"}, {"--fault", "write-error"});
    EXPECT_EQ(r.out, " write 24cxx parameter error!!! \n\r");
    EXPECT_EQ(eeprom(22, 1), before);
}

TEST_F(Ravelins, BusyMicrocontrollerMessageDependsOnTheBuild)
{
    auto r = run({"-x", "1"},
                 {"--fault", "receiver-busy", "--fault", "busy-at-start", "--busy-time", "1000"});
    EXPECT_EQ(r.out, i386_build ? " the receiver always busy !\n\rMCU status is busy!!!\n"
                                : " the receiver always busy !\n\rMC U status is busy!!!\n");
    EXPECT_NEAR(last_time(), i386_build ? 0.1 : 1.0, 1e-9);
}

TEST_F(Ravelins, LatestConfigurationAutomatic)
{
    store_eeprom({{20, {1, 3}}});
    auto r = run({"-c"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "the latest setting is Auto mode!\n");
    EXPECT_EQ(count("WINDOW_WRITE 0x00"), 1);
}

TEST_F(Ravelins, LatestConfigurationManualStandsOnOneLine)
{
    store_eeprom({{20, {0, 3}}});
    auto r = run({"-c"});
    EXPECT_EQ(r.out, "the latest setting is Manual mode:excellent 1280*720 \n");

    store_eeprom({{20, {0, 9}}});
    r = run({"--outputformat"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "the latest setting is Manual mode:");
}

TEST_F(Ravelins, LatestConfigurationAdvancedOrNothing)
{
    store_eeprom({{16, {0, 11}},
                  {20, {0, 0}},
                  {36, {0x15, 0x2c, 0x05, 0x00, 0x15, 0x2e, 0x02, 0xd0}},
                  {68, {0x15, 0x86, 0x00, 61}}});
    auto r = run({"-c"});
    EXPECT_EQ(r.out, "the latest setting is Advanced mode: 1280 * 720 30 \n");

    store_eeprom({{16, {0, 10}}, {20, {0, 0}}});
    r = run({"-c"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(count("WINDOW_WRITE 0x00"), 3);
}

TEST_F(Ravelins, MuteIsOneByteWithoutRestart)
{
    auto r = run({"-x", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(eeprom(22, 1), "01");
    EXPECT_EQ(count("REG_WRITE"), 0);
    EXPECT_EQ(count("SLEEP 2"), 0);

    run({"--mute=7"});
    EXPECT_EQ(eeprom(22, 1), "07");
    run({"-x", "0x1ff"});
    EXPECT_EQ(eeprom(22, 1), "ff");
}

TEST_F(Ravelins, ProgramName)
{
    auto r = run({"-K", "abc"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, setting + set_ok);
    EXPECT_EQ(eeprom(18, 2), "60 03");
    EXPECT_EQ(eeprom(96, 4), "61 62 63 00");
    EXPECT_EQ(count("WINDOW_WRITE 0x00"), 5);

    r = run({"--set=", "-x", "0"});
    EXPECT_EQ(r.out, setting + set_ok);
    EXPECT_EQ(eeprom(18, 2), "60 00");
    EXPECT_EQ(eeprom(96, 3), "61 62 63");

    r = run({"--set prog Name=News 24"});
    EXPECT_EQ(eeprom(18, 9), "60 07 01 00 00 00 00 00 00");
    EXPECT_EQ(eeprom(96, 7), "4e 65 77 73 20 32 34");
}

TEST_F(Ravelins, ProgramNameOfTheWholeAreaAndOneByteMore)
{
    std::string name(160, 'q');
    auto r = run({"-K", name});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(eeprom(19, 1), "a0");
    EXPECT_EQ(eeprom(254, 2), "71 71");
    EXPECT_EQ(eeprom(0, 1), "00");

    // One byte more is refused by the store itself; the run goes on with the
    // other actions and still succeeds.
    std::string before = testsupport::read_file(dir + "/eeprom");
    r = run({"-i", "-K", name + "r", "-M", "5"}, {"--signal", "1280x720@50p"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "input format:\nVRow= 1280, VColumn= 720, VFreq= 50, VScan= 1\n"
                     "program name too long: 161 bytes (at most 160); the stored name is unchanged\n"
                     "set output format to manual mode:\nfair 960*540 \n" +
                         setting + set_ok);
    std::string after = testsupport::read_file(dir + "/eeprom");
    ASSERT_EQ(after.size(), 256u);
    EXPECT_EQ(after.substr(0, 20), before.substr(0, 20));
    EXPECT_EQ(eeprom(20, 2), "00 05");
    EXPECT_EQ(after.substr(22), before.substr(22));
    EXPECT_EQ(count("WINDOW_WRITE 0x00"), 2);
}

TEST_F(Ravelins, AutomaticModeStoresTheModeAfterTheRestart)
{
    store_eeprom({{20, {0, 4}}});
    auto r = run({"-A"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "set output format to auto mode(the same with input format)\n" + setting + set_ok);
    EXPECT_EQ(eeprom(20, 2), "01 00");
    auto t = trace();
    auto restart = std::find(t.begin(), t.end(), "SLEEP 2.000000000");
    auto store = std::find(t.begin(), t.end(), "WINDOW_WRITE 0x00 0x14000130");
    EXPECT_EQ(t[1], "REG_WRITE 0x48 0x00000001");
    EXPECT_LT(restart, store);
    EXPECT_EQ(count("REG_WRITE 0x4c"), 0);
}

TEST_F(Ravelins, AutomaticWinsOverManualAndManualOverAdvanced)
{
    auto r = run({"-M", "3", "--Auto"});
    EXPECT_EQ(r.out, "set output format to auto mode(the same with input format)\n" + setting + set_ok);
    EXPECT_EQ(eeprom(20, 2), "01 00");

    r = run({"-p", "0", "-l", "40", "-H", "1280", "-V", "720", "-B", "4000", "-F", "30", "-M", "3"});
    EXPECT_EQ(r.out, "set output format to manual mode:\nexcellent 1280*720 \n" + setting + set_ok);
    EXPECT_EQ(eeprom(16, 6), "00 00 60 00 00 03");

    r = run({"-c"});
    EXPECT_EQ(r.out, "the latest setting is Manual mode:excellent 1280*720 \n");
}

TEST_F(Ravelins, ManualPresetOutsideOneToSevenIsProgrammedAsGiven)
{
    const std::string help =
        "-M : manual (1--7,1:super 1920*1080,2:ultra 1440*1080,3:excellent 1280*720,4:good "
        "1120*720,5:fair 960*540,6:poor 800*480,7: mobile 480*272)\n";
    auto r = run({"-M", "9"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "set output format to manual mode:\n" + help + setting + set_ok);
    EXPECT_EQ(eeprom(20, 2), "00 09");
    EXPECT_EQ(count("REG_WRITE 0x4c 0x00000009"), 1);

    r = run({"--manual=0"});
    EXPECT_EQ(r.out, "set output format to manual mode:\n" + help + setting + set_ok);
    EXPECT_EQ(eeprom(20, 2), "00 00");

    // a later read-back finds no preset and goes on to the advanced check
    r = run({"-c"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(count("WINDOW_WRITE 0x00 0x10000231"), 1);
}

TEST_F(Ravelins, AdvancedModeNeedsAllSixValues)
{
    auto r = run({"-p", "0", "-l", "41", "--H=1920", "--V=1080", "-B", "101", "-F", "30"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "set output format to advanced: 0,41,1920,1080,101,30\n" + setting + set_ok);
    EXPECT_EQ(eeprom(16, 6), "00 0b 60 00 00 00");
    EXPECT_EQ(eeprom(32, 44),
              "15 26 01 29 15 2c 07 80 15 2e 04 38 15 32 00 fc 15 34 00 ca 15 36 00 65 "
              "15 38 00 32 11 04 01 61 15 84 00 00 15 86 00 3c 15 88 00 01");

    r = run({"-c"});
    EXPECT_EQ(r.out, "the latest setting is Advanced mode: 1920 * 1080 30 \n");

    std::string before = testsupport::read_file(dir + "/eeprom");
    r = run({"-p", "1", "-l", "30", "-H", "720", "-V", "480", "-B", "500"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(testsupport::read_file(dir + "/eeprom"), before);
}

TEST_F(Ravelins, BitRateWhoseMultiplesOverflowIsStoredAsItsLowBits)
{
    auto r = run({"--profile=1", "--level=42", "-H", "1920", "-V", "1080", "--bitrate=20000",
                  "--frame=60"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(eeprom(32, 4), "15 26 02 2a");
    EXPECT_EQ(eeprom(44, 20), "15 32 c3 50 15 34 9c 40 15 36 4e 20 15 38 27 10 11 04 11 70");
}

TEST_F(Ravelins, OptionsThatDoNotCountShowTheUsageAfterOpening)
{
    auto r = run({"-l", "40"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usage_text);
    EXPECT_TRUE(opened());
    EXPECT_EQ(count("REG_"), 0);
    EXPECT_EQ(count("WINDOW_"), 0);

    r = run({"-a", "0", "-n", "0", "-V", "1", "-B", "2", "-F", "3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usage_text);

    r = run({"-p", "0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(opened());
    EXPECT_EQ(count("REG_"), 0);
    EXPECT_EQ(count("WINDOW_"), 0);
    r = run({"-H", "0"});
    EXPECT_EQ(r.status, 0);
}

TEST_F(Ravelins, ActionsRunInTheirFixedOrder)
{
    store_eeprom({{20, {0, 6}}});
    auto r = run({"-A", "-K", "ab", "-x", "1", "-c", "-N", "-R", "-r", "-i"},
                 {"--signal", "1280x720@50p"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "input format:\nVRow= 1280, VColumn= 720, VFreq= 50, VScan= 1\n"
              "software Reset, please wait several seconds...\nsoftware Reset OK!\n"
              "MCU Reset, please wait several seconds...\nMCU Reset OK!\n"
              "mac address: 0x00,0x1a,0x2b,0x3c,0x4d,0x5e\n"
              "the latest setting is Manual mode:poor 800*480 \n" +
                  setting + set_ok +
                  "set output format to auto mode(the same with input format)\n" + setting +
                  set_ok);
    EXPECT_EQ(eeprom(18, 5), "60 02 01 00 01");
    EXPECT_EQ(eeprom(96, 2), "61 62");
}

#if UINTPTR_MAX == UINT32_MAX
// The i386 tree runs natively where the kernel can; this one run takes the
// simulator's qemu-i386 path all the same, and must print the same bytes.
TEST_F(Ravelins, ThirtyTwoBitToolThroughQemuPrintsTheSameBytes)
{
    std::vector<std::string> argv = {CARDSIM_PATH, "--state", dir, "--busy-time", "0",
                                     "--signal", "1280x720@50p", "--", RAVELINS_PATH, "-N", "-i"};
    const std::string expected = "input format:\nVRow= 1280, VColumn= 720, VFreq= 50, VScan= 1\n"
                                 "mac address: 0x00,0x1a,0x2b,0x3c,0x4d,0x5e\n";
    // Without qemu-i386 to be found, the forced path cannot run at all.
    EXPECT_NE(testsupport::run(argv, {"CARDSIM_FORCE_QEMU=1", "PATH=/nonexistent"}).status, 0);

    auto r = testsupport::run(argv, {"CARDSIM_FORCE_QEMU=1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected);
}
#endif

TEST_F(Ravelins, FormatThatNeverSettlesStillStoresTheMode)
{
    auto r = run({"-M", "2"}, {"--fault", "busy=forever"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "set output format to manual mode:\nultra 1440*1080 \n" + setting);
    EXPECT_EQ(eeprom(20, 2), "00 02");
    EXPECT_EQ(count("SLEEP 2.000000000"), 100);
}

}  // namespace
