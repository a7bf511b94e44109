// SPDX-License-Identifier: GPL-2.0-or-later
// ravelinctl run as a script would, against the simulated card:
// cardsim -- ravelinctl ARGS, with the card's EEPROM and the trace looked at.
#include "run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <sys/stat.h>
#include <vector>

namespace {

using json = nlohmann::json;

const std::string factory_mac = "00:1a:2b:3c:4d:5e";

class Ravelinctl : public ::testing::Test {
protected:
    void SetUp() override { dir = testsupport::make_temp_dir("ctl"); }

    void TearDown() override
    {
        unsetenv("CARDSIM_PRELOAD_32");
        unsetenv("CARDSIM_PRELOAD_64");
    }

    // Lets cardsim serve /bin/sh as its COMMAND: in the i386 tree the shell is
    // of the other class, whose interposer the x86-64 tree builds (scripts/build.sh
    // names it); false where it is not there.
    bool serve_a_shell() { return testsupport::serve_a_shell(OTHER_CLASS_PRELOAD); }

    // Runs ravelinctl with `args` on a card that is idle right after each
    // restart, unless `card` options say otherwise.
    testsupport::Result run(const std::vector<std::string>& args, const std::vector<std::string>& card = {},
                            const std::string& input = "")
    {
        return testsupport::run_under_cardsim(CARDSIM_PATH, dir, RAVELINCTL_PATH, args, card, input);
    }

    json run_json(const std::vector<std::string>& args, const std::vector<std::string>& card = {},
                  int status = 0)
    {
        std::vector<std::string> a = {"--json"};
        a.insert(a.end(), args.begin(), args.end());
        auto r = run(a, card);
        EXPECT_EQ(r.status, status) << r.err;
        try {
            return json::parse(r.out);
        } catch (const json::exception& e) {
            ADD_FAILURE() << "not JSON: " << r.out;
            return json();
        }
    }

    void store_eeprom(const std::vector<std::pair<int, std::vector<unsigned char>>>& changes)
    {
        ASSERT_TRUE(testsupport::store_eeprom(dir, changes));
    }

    std::string eeprom(int from, int count) const { return testsupport::eeprom_hex(dir, from, count); }

    void write_file(const std::string& name, const std::string& text) const
    {
        FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), f), text.size());
        std::fclose(f);
    }

    std::vector<std::string> trace() const { return testsupport::trace_events(dir); }
    int count(const std::string& prefix) const { return testsupport::count_events(dir, prefix); }
    // Mailbox command words of the trace with this opcode (0x30 write, 0x31 read).
    std::vector<unsigned> commands(unsigned opcode) const
    {
        std::vector<unsigned> words;
        for (const auto& e : trace())
            if (e.rfind("WINDOW_WRITE 0x00 ", 0) == 0) {
                unsigned w = unsigned(std::stoul(e.substr(18), nullptr, 16));
                if ((w & 0xff) == opcode)
                    words.push_back(w);
            }
        return words;
    }
    int eeprom_writes() const { return int(commands(0x30).size()); }
    int restarts() const { return count("REG_WRITE 0x44 0x00000001"); }

    std::string dir;
};

// ---- Refusals: exit 2, a message, and not even an open

TEST_F(Ravelinctl, BadInputIsRefusedBeforeTheNodeIsOpened)
{
    write_file("bad.json", "{\"output\": {\"mode\": \"preset\", \"preset\": 8}}");
    write_file("broken.json", "{\"mute\": tru");
    write_file("unknown.json", "{\"mute\": true, \"volume\": 3}");
    write_file("small.img", std::string(1000, 'x'));
    const std::string long_name(161, 'n');
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no command (list, status, set, mute, name, reset, apply, diff, flash, metrics, configure); see --help"},
        {{"-a", "08", "status"}, "leading zero"},
        {{"-a", "one", "status"}, "not a decimal number"},
        {{"-a", "256", "status"}, "outside 0-255"},
        {{"-n", "-1", "status"}, "not a decimal number"},
        {{"-a", "1", "-a", "2", "status"}, "given twice"},
        {{"--mac", "00:1a:2b:3c:4d", "status"}, "not a MAC address"},
        {{"--mac", factory_mac, "-a", "0", "status"}, "either --mac or -a"},
        {{"frobnicate"}, "unknown command"},
        {{"status", "now"}, "status: usage: ravelinctl status\n"},
        {{"set"}, "set: usage: ravelinctl set auto | preset N|NAME | advanced SETTINGS\n"},
        {{"flash", "read"}, "flash: usage: ravelinctl flash read FILE\n"},
        {{"reset", "--now"}, "unknown option --now; see --help"},
        {{"set", "preset", "9"}, "outside 1-7"},
        {{"set", "preset", "0"}, "outside 1-7"},
        {{"set", "preset", "grand"}, "1 super, 2 ultra, 3 excellent, 4 good, 5 fair, 6 poor, 7 mobile"},
        {{"set", "manual", "3"}, "none of auto, preset, advanced"},
        {{"mute", "maybe"}, "neither on nor off"},
        {{"reset", "all"}, "neither capture nor mcu"},
        {{"name", long_name}, "161 bytes, at most 160"},
        {{"set", "advanced", "--profile", "high", "--level", "41", "--width", "1920", "--height", "1080",
          "--bitrate", "4000"},
         "--frame-rate is missing"},
        {{"set", "advanced", "--profile", "baseline", "--level", "41", "--width", "1920", "--height", "1080",
          "--bitrate", "4000", "--frame-rate", "30"},
         "neither high nor main"},
        {{"set", "advanced", "--profile", "high", "--level", "33", "--width", "1920", "--height", "1080",
          "--bitrate", "4000", "--frame-rate", "30"},
         "not one of 30|31|32|40|41|42"},
        {{"set", "advanced", "--profile", "high", "--level", "41", "--width", "1921", "--height", "1080",
          "--bitrate", "4000", "--frame-rate", "30"},
         "--width: 1921 is outside 480-1920"},
        {{"set", "advanced", "--profile", "main", "--level", "41", "--width", "1920", "--height", "1080",
          "--bitrate=349", "--frame-rate", "30"},
         "--bitrate: 349 is outside 350-18000"},
        {{"set", "advanced", "--profile", "main", "--level", "41", "--width", "1920", "--height", "1080",
          "--bitrate", "4000", "--frame-rate", "61"},
         "--frame-rate: 61 is outside 24-60"},
        {{"apply", dir + "/missing.json"}, "No such file"},
        {{"apply", dir + "/bad.json"}, "\"preset\" must be a whole number from 1 to 7"},
        {{"apply", dir + "/broken.json"}, "not JSON"},
        {{"apply", dir + "/unknown.json"}, "unknown key \"volume\""},
        {{"flash", "erase"}, "the flash is never written"},
        {{"flash", "verify", dir + "/small.img"}, "no flash image"},
        {{"flash", "read", dir + "/no/such/folder/f.img"}, "No such file"},
        {{"list", "-a", "1"}, "do not apply"},
        {{"--frobnicate", "status"}, "unknown option"},
    };
    for (const auto& [args, message] : cases) {
        auto r = run(args);
        EXPECT_EQ(r.status, 2) << args.size() << " " << message;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.rfind("ravelinctl: ", 0), 0u) << r.err;
        EXPECT_EQ(count("OPEN"), 0) << message;
        EXPECT_EQ(count(""), 0) << message;  // nothing at all reached the card
    }

    // The same refusal for a machine: one object with the error and its step.
    auto r = run({"--json", "set", "preset", "9"});
    EXPECT_EQ(r.status, 2);
    const json j = json::parse(r.out);
    EXPECT_EQ(j, (json{{"error", "preset: 9 is outside 1-7"}, {"step", "parsing the command line"}, {"exit", 2}}));
    EXPECT_EQ(count("OPEN"), 0);

    // Bad JSON on standard input as well.
    r = testsupport::run({CARDSIM_PATH, "--state", dir, "--trace", dir + "/trace", "--", RAVELINCTL_PATH,
                          "apply", "-"},
                         {}, "[1, 2]");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("standard input: not a JSON object"), std::string::npos) << r.err;
    EXPECT_EQ(count("OPEN"), 0);
}

TEST_F(Ravelinctl, HelpAndVersionNeedNoCard)
{
    auto r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: ravelinctl [OPTIONS] COMMAND [ARGUMENTS]\n", 0), 0u);
    EXPECT_NE(r.out.find("1 super, 2 ultra, 3 excellent, 4 good, 5 fair, 6 poor, 7 mobile"), std::string::npos);
    EXPECT_EQ(r.err, "");
    r = run({"status", "-h"});
    EXPECT_EQ(r.status, 0);
    r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("ravelinctl ", 0), 0u);
    EXPECT_EQ(count("OPEN"), 0);
}

// ---- Nodes that cannot be used: exit 3, naming the node and what to do

TEST_F(Ravelinctl, MissingOrBusyNodeIsExitThree)
{
    auto r = run({"-a", "2", "-n", "1", "status"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ravelinctl: opening /dev/dvb/adapter2/frontend1: No such "
                     "file or directory; check the adapter and frontend numbers (ravelinctl list) and that "
                     "the card's driver is loaded\n");
    EXPECT_EQ(count("REG_"), 0);
}

// The shell starts ravelinctl itself where the kernel runs it, else through
// qemu-i386; an i386 tree on a kernel that runs it runs this test once more
// as ".qemu", which takes the second route.
TEST_F(Ravelinctl, BusyNodeIsExitThreeAndListSaysSo)
{
    if (!serve_a_shell())
        GTEST_SKIP() << "/bin/sh is of the other class, whose interposer (RAVELIN_OTHER_CLASS_PRELOAD: \""
                     << OTHER_CLASS_PRELOAD << "\") is not built: build that tree first";
    // Another program holds the node read-write: the shell, whose pid it prints first.
    std::vector<std::string> argv = {CARDSIM_PATH, "--state", dir, "--trace", dir + "/trace", "--busy-time",
                                     "0", "--", "/bin/sh", "-c",
                                     "echo $$; exec 3<>/dev/dvb/adapter0/frontend0 && " +
                                         testsupport::as_command(RAVELINCTL_PATH) + " --json mute on; echo $?"};
    auto r = testsupport::run(argv);
    const auto first = r.out.find('\n');
    ASSERT_NE(first, std::string::npos) << r.out;
    std::string pid = r.out.substr(0, first);
    const auto newline = r.out.find('\n', r.out.rfind('}'));
    ASSERT_NE(newline, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(newline + 1), "3\n");
    const json j = json::parse(r.out.substr(first + 1, newline - first - 1));
    EXPECT_EQ(j["exit"], 3);
    EXPECT_EQ(j["step"], "opening /dev/dvb/adapter0/frontend0");
    EXPECT_EQ(j["error"], "Device or resource busy; process " + pid + " (sh) has it open: end it and try again");
    EXPECT_EQ(eeprom(22, 1), "00");

    // list says so too, and still lists the node
    argv.back() = "echo $$; exec 3<>/dev/dvb/adapter0/frontend0 && " + testsupport::as_command(RAVELINCTL_PATH) +
                  " list";
    r = testsupport::run(argv);
    EXPECT_EQ(r.status, 0);
    pid = r.out.substr(0, r.out.find('\n'));
    EXPECT_EQ(r.out, pid + "\n/dev/dvb/adapter0/frontend0: adapter 0, frontend 0, not usable: Device or resource "
                           "busy; process " + pid + " (sh) has it open: end it and try again\n");

    // the shell becomes ravelinctl, whose own descriptor keeps the node busy
    argv.back() = "exec 3<>/dev/dvb/adapter0/frontend0 && exec " + testsupport::as_command(RAVELINCTL_PATH) +
                  " list";
    r = testsupport::run(argv);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "/dev/dvb/adapter0/frontend0: adapter 0, frontend 0, not usable: Device or resource busy; "
                     "ravelinctl itself holds it, on a descriptor it was started with: start it without that "
                     "descriptor\n");
}

// ---- status

TEST_F(Ravelinctl, StatusOfAnAutomaticCard)
{
    auto r = run({"status"}, {"--signal", "1280x720@50i", "--mac", "02:a0:0b:c1:7d:ff"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "adapter 0, frontend 0\n"
                     "mac: 02:a0:0b:c1:7d:ff\n"
                     "input: 1280x720, rate 50, interlaced\n"
                     "output: auto (the same as the input)\n"
                     "mute: off\n"
                     "program name: \"\"\n");
    EXPECT_EQ(r.err, "");

    const json j = run_json({"status"}, {"--signal", "1920x1080@59p"});
    EXPECT_EQ(j, json::parse(R"({"adapter": 0, "frontend": 0, "mac": "02:a0:0b:c1:7d:ff",
        "input": {"width": 1920, "height": 1080, "rate": 59, "progressive": true, "signal": true},
        "output": {"mode": "auto"}, "mute": false, "program_name": ""})"));
    EXPECT_EQ(eeprom_writes(), 0);
    EXPECT_EQ(count("REG_WRITE"), 0);
}

TEST_F(Ravelinctl, StatusOfPresetAdvancedAndUnusableSettings)
{
    store_eeprom({{20, {0, 3, 1}}, {18, {0x60, 5}}, {96, {'N', 'e', 'w', 's', '!'}}});
    json j = run_json({"status"});
    EXPECT_EQ(j["output"], json::parse(R"({"mode": "preset", "preset": 3, "name": "excellent"})"));
    EXPECT_EQ(j["mute"], true);
    EXPECT_EQ(j["program_name"], "News!");

    // ravelins -p 1 -l 40 -H 1280 -V 720 -B 4000 -F 30 stores these
    store_eeprom({{16, {0, 11}},
                  {20, {0, 0}},
                  {32, {0x15, 0x26, 0x02, 0x28, 0x15, 0x2c, 0x05, 0x00, 0x15, 0x2e, 0x02, 0xd0,
                        0x15, 0x32, 0x27, 0x10, 0x15, 0x34, 0x1f, 0x40, 0x15, 0x36, 0x0f, 0xa0,
                        0x15, 0x38, 0x07, 0xd0, 0x11, 0x04, 0x36, 0xb0, 0x15, 0x84, 0x00, 0x00,
                        0x15, 0x86, 0x00, 0x3c, 0x15, 0x88, 0x00, 0x01}}});
    j = run_json({"status"});
    EXPECT_EQ(j["output"], json::parse(R"({"mode": "advanced", "profile": "main", "level": 40, "width": 1280,
        "height": 720, "bitrate": 4000, "frame_rate": 30})"));
    auto r = run({"status"});
    EXPECT_NE(r.out.find("output: advanced, profile main, level 40, 1280x720, 4000 kbit/s, 30 fps\n"),
              std::string::npos);

    // one entry that an advanced setting of these values would not store
    store_eeprom({{16, {0, 11}}, {20, {0, 0}}, {32, {0x15, 0x26, 0x01, 0x29}}, {68, {0x15, 0x86, 0x00, 0x3c}}});
    j = run_json({"status"});
    EXPECT_EQ(j["output"]["consistent"], false);
    EXPECT_EQ(j["output"]["profile"], "high");
    EXPECT_EQ(j["output"]["level"], 41);

    store_eeprom({{20, {0, 9}}});
    j = run_json({"status"});
    EXPECT_EQ(j["output"], json::parse(R"({"mode": "none", "invalid_preset": 9})"));
    r = run({"status"});
    EXPECT_NE(r.out.find("output: none (stored preset 9 is outside 1-7)\n"), std::string::npos);

    store_eeprom({{16, {0, 10}}, {20, {0, 0}}});
    j = run_json({"status"});
    EXPECT_EQ(j["output"], json::parse(R"({"mode": "none"})"));

    // a name in Latin-1, as the window stores it, reads as the same letters
    store_eeprom({{18, {0x60, 3}}, {96, {'c', 0xe9, 'a'}}});
    j = run_json({"status"});
    EXPECT_EQ(j["program_name"], "c\xc3\xa9" "a");
}

TEST_F(Ravelinctl, StatusReadsEachEepromByteOnceInWholeTransfers)
{
    const std::string name(20, 'x');
    store_eeprom({{16, {0, 11}}, {18, {0x60, 20}}, {20, {0, 0}}, {96, std::vector<unsigned char>(20, 'x')}});
    auto r = run({"status"});
    EXPECT_EQ(r.status, 0);
    std::vector<int> read(256, 0);
    for (unsigned w : commands(0x31))
        for (unsigned k = 0; k < (w >> 8 & 0xff); ++k)
            ++read[(w >> 24) + k];
    for (int a = 0; a < 256; ++a) {
        const bool wanted = (a >= 8 && a <= 13) || (a >= 16 && a <= 22) || (a >= 32 && a <= 75) || (a >= 96 && a < 116);
        EXPECT_EQ(read[a], wanted ? 1 : 0) << "EEPROM " << a;
    }
    // 6 + 7 + 44 + 20 bytes in 1 + 1 + 6 + 3 transfers
    EXPECT_EQ(commands(0x31).size(), 11u);
    EXPECT_EQ(count("REG_READ"), 3);  // identification, then the input's two words
    EXPECT_EQ(eeprom_writes(), 0);
}

// ---- Changes: idempotent, read back, and only then "changed"

TEST_F(Ravelinctl, SetPresetWritesOnceThenNothing)
{
    auto r = run({"set", "preset", "3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "output: changed\n");
    EXPECT_EQ(eeprom(20, 2), "00 03");
    EXPECT_EQ(restarts(), 1);
    EXPECT_EQ(count("REG_WRITE 0x4c 0x00000003"), 1);

    r = run({"set", "preset", "excellent"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "output: unchanged\n");
    EXPECT_EQ(eeprom_writes(), 0);
    EXPECT_EQ(restarts(), 0);
    EXPECT_EQ(count("REG_WRITE"), 0);

    json j = run_json({"set", "preset", "3"});
    EXPECT_EQ(j, json::parse(R"({"adapter": 0, "frontend": 0, "changed": false, "written": []})"));

    j = run_json({"--force", "set", "preset", "3"});
    EXPECT_EQ(j, json::parse(R"({"adapter": 0, "frontend": 0, "changed": true, "written": ["output"]})"));
    EXPECT_EQ(restarts(), 1);
    EXPECT_EQ(eeprom_writes(), 2);

    r = run({"--quiet", "set", "auto"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(eeprom(20, 2), "01 00");
    r = run({"set", "auto"});
    EXPECT_EQ(r.out, "output: unchanged\n");
    EXPECT_EQ(eeprom_writes(), 0);
}

TEST_F(Ravelinctl, SetAdvancedStoresWhatRavelinsStoresAndIsIdempotent)
{
    auto r = run({"set", "advanced", "--profile", "high", "--level", "41", "--width", "1920", "--height=1080",
                  "--bitrate", "4000", "--frame-rate", "30"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "output: changed\n");
    EXPECT_EQ(eeprom(16, 6), "00 0b 60 00 00 00");
    EXPECT_EQ(eeprom(32, 8), "15 26 01 29 15 2c 07 80");
    EXPECT_EQ(restarts(), 1);

    json j = run_json({"status"});
    EXPECT_EQ(j["output"], json::parse(R"({"mode": "advanced", "profile": "high", "level": 41, "width": 1920,
        "height": 1080, "bitrate": 4000, "frame_rate": 30})"));

    r = run({"set", "advanced", "--frame-rate", "30", "--bitrate", "4000", "--height", "1080", "--width", "1920",
             "--level", "41", "--profile", "high"});
    EXPECT_EQ(r.out, "output: unchanged\n");
    EXPECT_EQ(eeprom_writes(), 0);
    EXPECT_EQ(restarts(), 0);

    // one value differs: everything of the advanced setting is stored again
    r = run({"set", "advanced", "--profile", "high", "--level", "41", "--width", "1920", "--height", "1080",
             "--bitrate", "4001", "--frame-rate", "30"});
    EXPECT_EQ(r.out, "output: changed\n");
    EXPECT_EQ(eeprom_writes(), 2 + 1 + 22);
}

TEST_F(Ravelinctl, MuteAndNameAreReadBackAndIdempotent)
{
    json j = run_json({"mute", "on"});
    EXPECT_EQ(j["changed"], true);
    EXPECT_EQ(eeprom(22, 1), "01");
    EXPECT_EQ(restarts(), 0);  // as ravelins -x: one byte, no restart
    j = run_json({"mute", "on"});
    EXPECT_EQ(j["changed"], false);
    EXPECT_EQ(eeprom_writes(), 0);
    auto r = run({"mute", "off"});
    EXPECT_EQ(r.out, "mute: changed\n");
    EXPECT_EQ(eeprom(22, 1), "00");

    r = run({"name", "Channel 7"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "program name: changed\n");
    EXPECT_EQ(eeprom(18, 2), "60 09");
    EXPECT_EQ(eeprom(96, 9), "43 68 61 6e 6e 65 6c 20 37");
    EXPECT_EQ(restarts(), 1);
    r = run({"name", "Channel 7"});
    EXPECT_EQ(r.out, "program name: unchanged\n");
    EXPECT_EQ(eeprom_writes(), 0);
    EXPECT_EQ(restarts(), 0);
    // a shorter name that begins the same differs in its length
    r = run({"name", "Channel"});
    EXPECT_EQ(r.out, "program name: changed\n");
    EXPECT_EQ(eeprom(18, 2), "60 07");
    r = run({"name", "--", "-x-"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(eeprom(96, 3), "2d 78 2d");
    r = run({"name", ""});
    EXPECT_EQ(r.out, "program name: changed\n");
    EXPECT_EQ(eeprom(18, 2), "60 00");
    r = run({"name", std::string(160, 'z')});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(eeprom(254, 2), "7a 7a");
}

TEST_F(Ravelinctl, ResetsWaitForTheCard)
{
    json j = run_json({"reset", "capture"}, {"--busy-time", "5"});
    EXPECT_EQ(j, json::parse(R"({"adapter": 0, "frontend": 0, "changed": true, "reset": "capture",
        "busy_rounds": 2})"));
    EXPECT_EQ(restarts(), 1);
    auto r = run({"reset", "mcu"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "microcontroller reset: ready\n");
    EXPECT_EQ(count("WINDOW_WRITE 0x00 0x00000003"), 1);

    // redirected standard error shows no progress line
    r = run({"reset", "capture"}, {"--busy-time", "7"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

TEST_F(Ravelinctl, ProgressLineOnATerminalOnly)
{
    // on a terminal it shows the elapsed time of each busy round, on one line
    auto on_terminal = [&](const std::string& options) {
        const std::string command = testsupport::as_command(CARDSIM_PATH) + " --state " + dir + " --busy-time 7 -- " +
                                    RAVELINCTL_PATH + options + " reset capture";
        return testsupport::run({"script", "-q", "-e", "-c", command, "/dev/null"});
    };
    auto r = on_terminal("");
    EXPECT_EQ(r.status, 0);
    const std::string line = "\rwaiting for the card after the capture reset: ";
    EXPECT_EQ(r.out, line + "2 s of 200 s " + line + "4 s of 200 s " + line + "6 s of 200 s \r\n" +
                         "capture reset: ready\r\n");
    for (const std::string options : {" --quiet", " --json"}) {
        r = on_terminal(options);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.find("waiting"), std::string::npos) << options;
    }
}

// ---- apply: the backup of status --json restores the card

TEST_F(Ravelinctl, ApplyOfAStatusRestoresAChangedCard)
{
    store_eeprom({{20, {0, 5, 1}}, {18, {0x60, 3}}, {96, {'a', 'b', 'c'}}});
    auto r = run({"--json", "status"});
    ASSERT_EQ(r.status, 0);
    write_file("card.json", r.out);
    const std::string before = testsupport::read_file(dir + "/eeprom");

    ASSERT_EQ(run({"set", "advanced", "--profile", "main", "--level", "30", "--width", "720", "--height", "480",
                   "--bitrate", "500", "--frame-rate", "25"})
                  .status,
              0);
    ASSERT_EQ(run({"mute", "off"}).status, 0);
    ASSERT_EQ(run({"name", "zzzz"}).status, 0);

    json j = run_json({"apply", dir + "/card.json"});
    EXPECT_EQ(j, json::parse(R"({"adapter": 0, "frontend": 0, "changed": true,
        "written": ["output", "mute", "program_name"]})"));
    const std::string after = testsupport::read_file(dir + "/eeprom");
    // what status shows is back; the advanced entries stay behind the preset
    EXPECT_EQ(after.substr(18, 5), before.substr(18, 5));
    EXPECT_EQ(after.substr(96, 3), before.substr(96, 3));
    EXPECT_EQ(run_json({"status"}), json::parse(r.out));

    // the second time nothing differs: no write, no restart
    j = run_json({"apply", dir + "/card.json"});
    EXPECT_EQ(j["changed"], false);
    EXPECT_EQ(eeprom_writes(), 0);
    EXPECT_EQ(restarts(), 0);

    // from standard input, a template of some settings only; the MAC is never written
    r = run({"apply", "-"}, {}, R"({"mute": true, "mac": "11:22:33:44:55:66"})");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "mute: unchanged\n");
    r = run({"apply", "-"}, {}, R"({"output": {"mode": "preset", "preset": 2, "name": "ultra"}, "mute": false})");
    EXPECT_EQ(r.out, "output: changed\nmute: changed\n");
    EXPECT_EQ(eeprom(8, 6), "00 1a 2b 3c 4d 5e");
    EXPECT_EQ(eeprom(20, 3), "00 02 00");
    // output mode none leaves the output as it is
    r = run({"apply", "-"}, {}, R"({"output": {"mode": "none"}})");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(eeprom_writes(), 0);
}

// ---- diff: what apply would write, found as apply finds it, and nothing written

TEST_F(Ravelinctl, DiffShowsWhatApplyWouldWriteAndWritesNothing)
{
    store_eeprom({{20, {0, 5, 1}}, {18, {0x60, 3}}, {96, {'a', 'b', 'c'}}});
    auto r = run({"--json", "status"});
    ASSERT_EQ(r.status, 0);
    write_file("card.json", r.out);
    const json backup = json::parse(r.out);
    const json settings = {{"output", backup["output"]}, {"mute", true}, {"program_name", "abc"}};

    // a card that stores the description: exit 0, and not one write
    const std::string stored = testsupport::read_file(dir + "/eeprom");
    r = run({"diff", dir + "/card.json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "output: unchanged\nmute: unchanged\nprogram name: unchanged\n");
    EXPECT_EQ(eeprom_writes(), 0);
    EXPECT_EQ(restarts(), 0);
    json j = run_json({"diff", dir + "/card.json"});
    EXPECT_EQ(j, (json{{"adapter", 0}, {"frontend", 0}, {"different", false}, {"would_write", json::array()},
                       {"before", settings}, {"after", settings}}));

    // a card that differs in each setting: exit 1, before -> after
    ASSERT_EQ(run({"set", "advanced", "--profile", "main", "--level", "30", "--width", "720", "--height", "480",
                   "--bitrate", "500", "--frame-rate", "25"})
                  .status,
              0);
    ASSERT_EQ(run({"mute", "off"}).status, 0);
    ASSERT_EQ(run({"name", "Caf\xc3\xa9"}).status, 0);
    const std::string changed = testsupport::read_file(dir + "/eeprom");
    r = run({"diff", dir + "/card.json"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "output: {\"mode\":\"advanced\",\"profile\":\"main\",\"level\":30,\"width\":720,\"height\":480,"
                     "\"bitrate\":500,\"frame_rate\":25} -> {\"mode\":\"preset\",\"preset\":5,\"name\":\"fair\"}\n"
                         "mute: false -> true\n"
                         "program name: \"Caf\\xc3\\xa9\" -> \"abc\"\n");
    EXPECT_EQ(eeprom_writes(), 0);
    EXPECT_EQ(restarts(), 0);
    EXPECT_EQ(count("WINDOW_WRITE 0x00 "), int(commands(0x31).size()));  // mailbox reads only
    j = run_json({"diff", dir + "/card.json"}, {}, 1);
    EXPECT_EQ(j["would_write"], json::array({"output", "mute", "program_name"}));
    EXPECT_EQ(j["before"]["program_name"], "Caf\xc3\xa9");
    EXPECT_EQ(j["after"], settings);
    EXPECT_EQ(run({"--quiet", "diff", dir + "/card.json"}).out, "");
    EXPECT_EQ(testsupport::read_file(dir + "/eeprom"), changed);

    // what diff says apply would write is what apply writes, for each kind of difference
    const std::vector<std::pair<std::string, json>> descriptions = {
        {R"({"output": {"mode": "preset", "preset": 2}})", {"output"}},
        {R"({"output": {"mode": "auto"}, "mute": false})", {"output"}},
        {R"({"mute": true, "program_name": "Caf\u00e9"})", {"mute"}},
        {R"({"output": {"mode": "none"}, "program_name": "x"})", {"program_name"}},
        {R"({"output": {"mode": "advanced", "profile": "high", "level": 40, "width": 720, "height": 480,
             "bitrate": 500, "frame_rate": 25}})",
         {"output"}},
        {R"({"program_name": "Caf\u00e9", "program_name_hex": "436166e9"})", {"program_name"}},
    };
    for (const auto& [text, would_write] : descriptions) {
        SCOPED_TRACE(text);
        write_file("part.json", text);
        j = run_json({"diff", dir + "/part.json"}, {}, 1);
        EXPECT_EQ(j["would_write"], would_write);
        EXPECT_EQ(eeprom_writes(), 0);
        EXPECT_EQ(run_json({"apply", dir + "/part.json"})["written"], would_write);
        j = run_json({"diff", dir + "/part.json"});
        EXPECT_EQ(j["different"], false);
        EXPECT_EQ(j["before"], j["after"]);
    }
    // the Latin-1 name of the hex description, byte for byte
    EXPECT_EQ(eeprom(96, 4), "43 61 66 e9");
}

TEST_F(Ravelinctl, DiffRefusesWhatApplyRefusesBeforeAnythingIsSent)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"diff", "-"}, "key \"mute\" given twice in one object"},
        {{"diff", dir + "/missing.json"}, "No such file or directory"},
        {{"diff"}, "usage: ravelinctl diff FILE|-"},
        {{"--force", "diff", "-"}, "diff writes nothing: --force does not apply"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(message);
        auto r = run(args, {}, R"({"mute":true,"mute":false})");
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(count(""), 0);  // not even an open
    }
}

// ---- Card faults: each one that applies is exit 1, naming the step

TEST_F(Ravelinctl, EveryFaultOfTheSimulatorEndsAsDocumented)
{
    auto list = testsupport::run({CARDSIM_PATH, "--list-faults"});
    ASSERT_EQ(list.status, 0);
    struct Expect {
        std::vector<std::string> card;
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const std::vector<std::pair<std::string, std::vector<Expect>>> table = {
        {"receiver-busy",
         {{{"--fault", "receiver-busy"}, {"status"}, 1,
           "ravelinctl: reading EEPROM 8-13: the card never took the EEPROM read of 6 bytes at 8 (mailbox wait "
           "for the receiver ran out)\n"}}},
        {"no-completion",
         {{{"--fault", "no-completion"}, {"mute", "on"}, 1,
           "ravelinctl: reading EEPROM 16-22: the card never completed the EEPROM read of 7 bytes at 16 "
           "(mailbox wait for completion ran out)\n"}}},
        {"write-error",
         {{{"--fault", "write-error"}, {"mute", "on"}, 1,
           "ravelinctl: storing mute on: the card reported a failed EEPROM write of 1 byte at 22\nravelinctl: written before the failure, the card may store it: mute\n"},
          {{"--fault", "write-error"}, {"set", "preset", "4"}, 1,
           "ravelinctl: setting the output format to preset 4: the card reported a failed EEPROM write of 1 "
           "byte at 20\nravelinctl: written before the failure, the card may store it: output\n"}}},
        {"busy=N",
         {{{"--fault", "busy=3"}, {"set", "preset", "4"}, 0, ""}}},
        {"busy=forever",
         {{{"--fault", "busy=forever"}, {"set", "auto", "--force"}, 1,
           "ravelinctl: setting the output format to auto: the card was still busy after the capture restart: "
           "gave up after 100 rounds of 2 s\nravelinctl: written before the failure, the card may store it: output\n"},
          {{"--fault", "busy=forever"}, {"reset", "mcu"}, 1,
           "ravelinctl: resetting the microcontroller: the card was still busy after the microcontroller "
           "reset: gave up after 100 rounds of 2 s\n"}}},
        {"busy-at-start",
         {{{"--fault", "busy-at-start", "--busy-time", "5"}, {"reset", "capture"}, 0, ""}}},
        {"reg-read-fail",
         {{{"--fault", "reg-read-fail"}, {"status"}, 1,
           "ravelinctl: identifying the card on /dev/dvb/adapter0/frontend0: register read at 0x20 failed: "
           "Input/output error\n"}}},
        {"latency=N",
         {{{"--fault", "latency=3"}, {"name", "x"}, 0, ""},
          {{"--fault", "latency=2000"}, {"status"}, 1,
           "ravelinctl: reading EEPROM 8-13: the card never took the EEPROM read of 6 bytes at 8 (mailbox wait "
           "for the receiver ran out)\n"}}},
        {"spi-busy",
         {{{"--fault", "spi-busy"}, {"flash", "id"}, 1,
           "ravelinctl: identifying the flash: the SPI flash controller stayed busy\n"}}},
        {"spi-busy-after=N",
         {{{"--fault", "spi-busy-after=40", "--flash-id", "c2:20:10"}, {"flash", "read", "f.img"}, 1,
           "ravelinctl: reading the flash from 0x000000: the SPI flash controller stayed busy\n"}}},
        {"spi-busy-polls=N",
         {{{"--fault", "spi-busy-polls=10"}, {"flash", "id"}, 0, ""},
          {{"--fault", "spi-busy-polls=200"}, {"flash", "id"}, 1,
           "ravelinctl: identifying the flash: the SPI flash controller stayed busy\n"}}},
        {"flash-stuck",  // ravelinctl never erases or programs
         {{{"--fault", "flash-stuck"}, {"flash", "id"}, 0, ""}}},
        {"other-driver",  // every command: ANodeOfAnotherDriverIsExitThreeForEveryCommand
         {{{"--fault", "other-driver"}, {"status"}, 3,
           "ravelinctl: identifying the card on /dev/dvb/adapter0/frontend0: /dev/dvb/adapter0/frontend0 is not "
           "this capture card (it refuses the card's register read: Inappropriate ioctl for device)\n"}}},
    };
    std::istringstream names(list.out);
    std::string name;
    int seen = 0;
    while (std::getline(names, name)) {
        auto it = std::find_if(table.begin(), table.end(), [&](const auto& e) { return e.first == name; });
        ASSERT_NE(it, table.end()) << "fault " << name << " has no expectation here";
        ++seen;
        for (const Expect& e : it->second) {
            std::vector<std::string> args = e.args;
            if (args[0] == "flash" && args.size() == 3)
                args[2] = dir + "/" + args[2];
            auto r = run(args, e.card);
            EXPECT_EQ(r.status, e.status) << name << ": " << r.err;
            EXPECT_EQ(r.err, e.err) << name;
            if (e.status == 1) {
                // the same in JSON: the error and its step
                args.insert(args.begin(), "--json");
                r = run(args, e.card);
                const json j = json::parse(r.out);
                EXPECT_EQ(j["exit"], 1);
                EXPECT_EQ("ravelinctl: " + j["step"].get<std::string>() + ": " + j["error"].get<std::string>() + "\n",
                          e.err.substr(0, e.err.find('\n') + 1));
            }
        }
    }
    EXPECT_EQ(seen, int(table.size()));
}

// ---- list and --mac

TEST_F(Ravelinctl, ListShowsEverySimulatedNodeAndMacPicksOne)
{
    const std::vector<std::string> nodes = {"--node", "0:0", "--node", "1:0", "--node", "3:2"};
    json j = run_json({"list"}, nodes);
    ASSERT_EQ(j["nodes"].size(), 3u) << j;
    const int where[3][2] = {{0, 0}, {1, 0}, {3, 2}};
    for (int i = 0; i < 3; ++i) {
        const json& n = j["nodes"][i];
        EXPECT_EQ(n["adapter"], where[i][0]);
        EXPECT_EQ(n["frontend"], where[i][1]);
        EXPECT_EQ(n["kind"], "card");
        EXPECT_EQ(n["mac"], factory_mac);
        EXPECT_EQ(n["path"], "/dev/dvb/adapter" + std::to_string(where[i][0]) + "/frontend" +
                                 std::to_string(where[i][1]));
    }
    // identified before anything else, each with one register read only
    EXPECT_EQ(count("REG_READ 0x20"), 3);
    EXPECT_EQ(count("REG_WRITE"), 0);
    EXPECT_EQ(eeprom_writes(), 0);

    auto r = run({"list"}, {"--node", "2:1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "/dev/dvb/adapter2/frontend1: adapter 2, frontend 1, this card, MAC " + factory_mac + "\n");

    // a node that does not answer gets no mailbox command, no write at all
    j = run_json({"list"}, {"--fault", "reg-read-fail", "--node", "0:1"});
    ASSERT_EQ(j["nodes"].size(), 1u);
    EXPECT_EQ(j["nodes"][0]["kind"], "unusable");
    EXPECT_NE(j["nodes"][0]["error"].get<std::string>().find("Input/output error"), std::string::npos);
    EXPECT_EQ(count("WINDOW_"), 0);
    EXPECT_EQ(count("REG_WRITE"), 0);

    j = run_json({"--mac", factory_mac, "-n", "2", "status"}, nodes);
    EXPECT_EQ(j["adapter"], 3);
    EXPECT_EQ(j["frontend"], 2);
    j = run_json({"--mac", "00:1A:2B:3C:4D:5E", "mute", "on"}, {"--node", "4:0"});
    EXPECT_EQ(j["adapter"], 4);
    EXPECT_EQ(eeprom(22, 1), "01");

    // a card that is not there
    r = run({"--mac", "00:00:00:00:00:01", "status"}, nodes);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "ravelinctl: looking for the card with MAC 00:00:00:00:00:01: no card with MAC "
                     "00:00:00:00:00:01 among 3 nodes (ravelinctl list shows them)\n");
    EXPECT_EQ(eeprom_writes(), 0);
    r = run({"--mac", factory_mac, "-n", "1", "status"}, nodes);
    EXPECT_EQ(r.status, 3);

    r = run({"list"}, {"--node", "20:0"});  // beyond the names tried, and no /dev/dvb here
    EXPECT_EQ(r.status, 0);
}

// ---- a rack: four distinct cards in one run

// Card 0 stores preset 3 where the others keep the factory's automatic format
// (its configuration drifted); card 1 has no input; card 2 refuses its opener;
// card 3 is unplugged after 20 requests in a program, which list's (one
// identifying read and the MAC) leave room for and list's and a status's
// together (--mac) do not.
class RavelinctlRack : public Ravelinctl {
protected:
    void SetUp() override
    {
        Ravelinctl::SetUp();
        write_file("rack.txt", "# a rack\n"
                               "0:0 mac=02:00:00:00:00:01\n"
                               "1:0 mac=02:00:00:00:00:02 signal=none\n"
                               "2:0 mac=02:00:00:00:00:03 deny\n"
                               "3:0 mac=02:00:00:00:00:04 unplug-after=20\n");
        const std::string drifted = dir + "/adapter0-frontend0";
        ASSERT_EQ(mkdir(drifted.c_str(), 0700), 0);
        ASSERT_TRUE(testsupport::store_eeprom(drifted, {{8, {2, 0, 0, 0, 0, 1}}, {20, {0}}, {21, {3}}}));
    }
    std::vector<std::string> rack() const { return {"--rack", dir + "/rack.txt"}; }
};

TEST_F(RavelinctlRack, ListShowsEachCardAsItIs)
{
    json j = run_json({"list"}, rack());
    EXPECT_EQ(j, json::parse(R"({"nodes": [
        {"adapter": 0, "frontend": 0, "path": "/dev/dvb/adapter0/frontend0", "kind": "card", "mac": "02:00:00:00:00:01"},
        {"adapter": 1, "frontend": 0, "path": "/dev/dvb/adapter1/frontend0", "kind": "card", "mac": "02:00:00:00:00:02"},
        {"adapter": 2, "frontend": 0, "path": "/dev/dvb/adapter2/frontend0", "kind": "unusable",
         "error": "Permission denied",
         "fix": "add the user to the group that owns the node (usually video: sudo adduser \"$USER\" video) and log in again"},
        {"adapter": 3, "frontend": 0, "path": "/dev/dvb/adapter3/frontend0", "kind": "card", "mac": "02:00:00:00:00:04"}
    ]})"));
    EXPECT_EQ(count("OPEN /dev/dvb/adapter2/frontend0 EACCES"), 1);
    EXPECT_EQ(count("REG_WRITE"), 0);
    EXPECT_EQ(eeprom_writes(), 0);
}

TEST_F(RavelinctlRack, StatusOfEachCardByMac)
{
    const std::vector<std::string> card = rack();
    json j = run_json({"--mac", "02:00:00:00:00:01", "status"}, card);
    EXPECT_EQ(j["adapter"], 0);
    EXPECT_EQ(j["output"], json::parse(R"({"mode": "preset", "preset": 3, "name": "excellent"})"));
    EXPECT_EQ(j["input"],
              json::parse(R"({"signal": true, "width": 1920, "height": 1080, "rate": 60, "progressive": true})"));

    j = run_json({"--mac", "02:00:00:00:00:02", "status"}, card);
    EXPECT_EQ(j["adapter"], 1);
    EXPECT_EQ(j["output"], json::parse(R"({"mode": "auto"})"));
    EXPECT_EQ(j["input"],
              json::parse(R"({"signal": false, "width": 0, "height": 0, "rate": 0, "progressive": false})"));

    // the refusing node is named, and no card is opened
    auto r = run({"--mac", "02:00:00:00:00:03", "status"}, card);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "ravelinctl: looking for the card with MAC 02:00:00:00:00:03: no card with MAC "
                     "02:00:00:00:00:03 among 4 nodes; /dev/dvb/adapter2/frontend0: Permission denied (ravelinctl "
                     "list shows them)\n");
    r = run({"-a", "2", "status"}, card);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "ravelinctl: opening /dev/dvb/adapter2/frontend0: Permission denied; add the user to the "
                     "group that owns the node (usually video: sudo adduser \"$USER\" video) and log in again\n");
    EXPECT_EQ(count("REG_"), 0);

    // found, then unplugged while its status is read: the card did not do it
    j = run_json({"--mac", "02:00:00:00:00:04", "status"}, card, 1);
    EXPECT_EQ(j["exit"], 1);
    EXPECT_NE(j["error"].get<std::string>().find("No such device"), std::string::npos) << j;
    EXPECT_GT(count("WINDOW_WRITE 0x00 ENODEV") + count("WINDOW_READ 0x00 ENODEV"), 0);
    EXPECT_EQ(eeprom_writes(), 0);
}

TEST_F(RavelinctlRack, UnpluggedCardIsGoneForTheRestOfTheRun)
{
    if (!serve_a_shell())
        GTEST_SKIP() << "/bin/sh is of the other class, whose interposer (RAVELIN_OTHER_CLASS_PRELOAD: \""
                     << OTHER_CLASS_PRELOAD << "\") is not built: build that tree first";
    const std::string ravelinctl = testsupport::as_command(RAVELINCTL_PATH);
    std::vector<std::string> argv = {CARDSIM_PATH, "--state", dir, "--trace", dir + "/trace", "--rack",
                                     dir + "/rack.txt", "--", "/bin/sh", "-c",
                                     ravelinctl + " --mac 02:00:00:00:00:04 status >/dev/null 2>&1; echo $?; " +
                                         ravelinctl + " list; " + ravelinctl + " -a 3 status"};
    auto r = testsupport::run(argv);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "1\n"
                     "/dev/dvb/adapter0/frontend0: adapter 0, frontend 0, this card, MAC 02:00:00:00:00:01\n"
                     "/dev/dvb/adapter1/frontend0: adapter 1, frontend 0, this card, MAC 02:00:00:00:00:02\n"
                     "/dev/dvb/adapter2/frontend0: adapter 2, frontend 0, not usable: Permission denied; add the "
                     "user to the group that owns the node (usually video: sudo adduser \"$USER\" video) and log "
                     "in again\n");
    EXPECT_EQ(r.err, "ravelinctl: opening /dev/dvb/adapter3/frontend0: No such file or directory; check the adapter "
                     "and frontend numbers (ravelinctl list) and that the card's driver is loaded\n");
    // the next run plugs it in again
    json j = run_json({"list"}, rack());
    EXPECT_EQ(j["nodes"].size(), 4u) << j;
}

// The collector and the command the udev rule's unit runs, on the same rack:
// each card's own state, the refusing node told apart, the drift seen and
// then mended by configure, and nothing sent to a card without a description.
TEST_F(RavelinctlRack, MetricsAndConfigureOnTheRack)
{
    const std::string etc = dir + "/etc";
    ASSERT_EQ(mkdir(etc.c_str(), 0755), 0);
    write_file("etc/02-00-00-00-00-01.json", R"({"output": {"mode": "auto"}})");
    write_file("etc/adapter1-frontend0.json", R"({"mute": true})");
    write_file("etc/adapter2-frontend0.json", R"({"mute": true})");
    auto r = run({"metrics", "--config", etc}, rack());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "ravelinctl metrics: /dev/dvb/adapter2/frontend0: Permission denied\n");
    const auto has = [&](const std::string& line) {
        EXPECT_NE(r.out.find("\n" + line + "\n"), std::string::npos) << line << "\n" << r.out;
    };
    for (const char* up : {"0\",frontend=\"0\"} 1", "1\",frontend=\"0\"} 1", "2\",frontend=\"0\"} 0",
                           "3\",frontend=\"0\"} 1"})
        has(std::string("ravelin_card_up{adapter=\"") + up);
    has("ravelin_node_error_info{adapter=\"2\",frontend=\"0\",error=\"Permission denied\"} 1");
    has("ravelin_card_info{adapter=\"3\",frontend=\"0\",mac=\"02:00:00:00:00:04\"} 1");
    has("ravelin_input_signal{adapter=\"1\",frontend=\"0\"} 0");
    has("ravelin_output_info{adapter=\"0\",frontend=\"0\",mode=\"preset\",preset=\"3\","
        "preset_name=\"excellent\"} 1");
    has("ravelin_config_match{adapter=\"0\",frontend=\"0\",file=\"" + etc + "/02-00-00-00-00-01.json\"} 0");
    has("ravelin_config_match{adapter=\"1\",frontend=\"0\",file=\"" + etc + "/adapter1-frontend0.json\"} 0");
    has("ravelin_collector_errors 1");
    has("ravelin_collector_success 0");
    EXPECT_EQ(r.out.find("ravelin_input_info{adapter=\"1\""), std::string::npos) << "no input, no format";
    EXPECT_EQ(count("REG_WRITE"), 0);
    EXPECT_EQ(eeprom_writes(), 0);

    // The unit's command for the card without input, then for the refusing node.
    r = run({"--quiet", "configure", "--config", etc, "/dev/dvb/adapter1/frontend0"}, rack());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testsupport::eeprom_hex(dir + "/adapter1-frontend0", 22, 1), "01");
    r = run({"--quiet", "configure", "--config", etc, "/dev/dvb/adapter2/frontend0"}, rack());
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
    EXPECT_EQ(count("REG_"), 0);
    r = run({"metrics", "--config", etc}, rack());
    EXPECT_NE(r.out.find("ravelin_config_match{adapter=\"1\",frontend=\"0\",file=\"" + etc +
                         "/adapter1-frontend0.json\"} 1\n"),
              std::string::npos)
        << r.out;
}

// ---- flash: read-only

TEST_F(Ravelinctl, FlashIdReadAndVerify)
{
    json j = run_json({"flash", "id"});
    EXPECT_EQ(j, json::parse(R"({"adapter": 0, "frontend": 0, "manufacturer": 194, "type": 32, "capacity": 22,
        "version": [1, 2, 3, 4], "known": true, "size": 4194304})"));

    j = run_json({"flash", "id"}, {"--flash-id", "ef:40:17"});
    EXPECT_EQ(j["known"], false);
    EXPECT_EQ(j["size"], 8388608);

    // a 64 KiB flash keeps the test short
    const std::vector<std::string> small = {"--flash-id", "c2:20:10"};
    j = run_json({"flash", "read", dir + "/backup.img"}, small);
    EXPECT_EQ(j["size"], 65536);
    const std::string image = testsupport::read_file(dir + "/backup.img");
    ASSERT_EQ(image.size(), 65536u);
    EXPECT_EQ(image, std::string(65536, '\xff'));  // a blank flash
    // one read transfer a word; besides them only the release from power-down
    // and the identification: no write enable, program or erase
    int reads = 0;
    std::vector<std::string> opcodes;
    for (const auto& e : trace()) {
        if (e.rfind("REG_WRITE 0x10 0x", 0) == 0 && e.substr(e.size() - 4) == "44f0")
            ++reads;
        if (e.rfind("REG_WRITE 0x14 0x", 0) == 0 && e.substr(e.size() - 2) != "03")
            opcodes.push_back(e.substr(e.size() - 2));
    }
    EXPECT_EQ(reads, 16384);
    EXPECT_EQ(opcodes, (std::vector<std::string>{"ab", "9f"}));

    auto r = run({"flash", "verify", dir + "/backup.img"}, small);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "flash and " + dir + "/backup.img are identical (65536 bytes)\n");

    // the comparison stops at the first difference
    std::string changed = image;
    changed[4001] = 'x';
    write_file("changed.img", changed);
    j = run_json({"flash", "verify", dir + "/changed.img"}, small, 1);
    EXPECT_EQ(j["identical"], false);
    EXPECT_EQ(j["first_difference"], 4001);
    EXPECT_EQ(count("REG_READ 0x1c"), 1 + 4004 / 4);

    // an image of another size does not match this flash
    write_file("big.img", std::string(131072, '\xff'));
    r = run({"flash", "verify", dir + "/big.img"}, small);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the flash holds 65536 bytes"), std::string::npos) << r.err;
}

}  // namespace

// ---- Values the card holds as it will: nothing may rely on cardsim's

// The seed of the drawn card: RAVELIN_SEED replays a failure, else a new one each run.
std::string test_seed()
{
    if (const char* s = std::getenv("RAVELIN_SEED"))
        return s;
    std::random_device source;
    return std::to_string((std::uint64_t(source()) << 32 | source()) % 10000000000000000000ull);
}

TEST_F(Ravelinctl, CardsWhoseOpenValuesAreNotCardsimsOwnWork)
{
    const std::string seed = test_seed();
    std::cout << "drawn card: --seed " << seed << " (RAVELIN_SEED=" << seed << " replays it)\n";
    const std::vector<std::vector<std::string>> cards = {
        {"--version-word", "0x00000000"},
        {"--version-word", "0xffffffff", "--flash-id", "ef:40:17"},
        {"--version-word", "0x12345678", "--mac", "02:00:5e:10:00:01", "--factory-fill", "ff"},
        {"--factory-fill", "00"},
        {"--seed", seed},
    };
    write_file("card.json", R"({"output": {"mode": "preset", "preset": 5}, "mute": true, "program_name": "Kanal"})");
    for (const auto& card : cards) {
        std::string label;
        for (const auto& a : card)
            label += a + " ";
        SCOPED_TRACE(label);
        std::remove((dir + "/eeprom").c_str());  // a new card with these values
        json j = run_json({"list"}, card);
        ASSERT_EQ(j["nodes"].size(), 1u) << j;
        EXPECT_EQ(j["nodes"][0]["kind"], "card");
        const std::string mac = j["nodes"][0]["mac"];
        j = run_json({"status"}, card);
        EXPECT_EQ(j["mac"], mac);
        j = run_json({"--mac", mac, "set", "preset", "3"}, card);
        EXPECT_EQ(j["written"], json::array({"output"}));
        EXPECT_EQ(eeprom(20, 2), "00 03");
        j = run_json({"apply", dir + "/card.json"}, card);
        EXPECT_EQ(j["changed"], true);
        j = run_json({"apply", dir + "/card.json"}, card);
        EXPECT_EQ(j["changed"], false);
        j = run_json({"status"}, card);
        EXPECT_EQ(j["output"], (json{{"mode", "preset"}, {"preset", 5}, {"name", "fair"}}));
        EXPECT_EQ(j["program_name"], "Kanal");
    }
}

TEST_F(Ravelinctl, ARandomSeedIsPrintedAndReplaysTheSameCard)
{
    auto r = run({"--json", "status"}, {"--seed", "random"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string said = "cardsim: open values drawn with --seed ";
    ASSERT_EQ(r.err.rfind(said, 0), 0u) << r.err;
    const std::string seed = r.err.substr(said.size(), r.err.find('\n') - said.size());
    const std::string first = r.out;
    std::remove((dir + "/eeprom").c_str());
    r = run({"--json", "status"}, {"--seed", seed});
    EXPECT_EQ(r.out, first);
    EXPECT_EQ(r.err, "");
    // every open value differs from cardsim's own for almost every seed: this one says which it drew
    EXPECT_EQ(count("REG_READ 0x20 0x04030201"), 0);
}

// A node whose driver refuses the card's requests is not this card: exit 3 for
// every command, as list says; nothing is written.
TEST_F(Ravelinctl, ANodeOfAnotherDriverIsExitThreeForEveryCommand)
{
    const std::vector<std::string> other = {"--fault", "other-driver"};
    json j = run_json({"list"}, other);
    ASSERT_EQ(j["nodes"].size(), 1u);
    EXPECT_EQ(j["nodes"][0]["kind"], "other");
    write_file("card.json", R"({"mute": true})");
    write_file("flash.img", std::string(0x400000, '\xff'));
    const std::vector<std::vector<std::string>> commands = {
        {"status"}, {"set", "auto"}, {"mute", "on"}, {"name", "x"}, {"reset", "capture"},
        {"apply", dir + "/card.json"}, {"flash", "id"}, {"flash", "read", dir + "/out.img"},
        {"flash", "verify", dir + "/flash.img"},
    };
    for (const auto& c : commands) {
        auto r = run(c, other);
        EXPECT_EQ(r.status, 3) << c[0] << ": " << r.err;
        EXPECT_EQ(r.err, "ravelinctl: identifying the card on /dev/dvb/adapter0/frontend0: "
                         "/dev/dvb/adapter0/frontend0 is not this capture card (it refuses the card's "
                         "register read: Inappropriate ioctl for device)\n");
        EXPECT_EQ(count("REG_WRITE"), 0);
        EXPECT_EQ(count("WINDOW_"), 0);
    }
}

// ---- Bytes and input that are not what a well-behaved caller gives

TEST_F(Ravelinctl, BytesThatAreNotUtf8GiveValidJsonAndText)
{
    // once SIGABRT: the refusal holds the byte, which JSON cannot
    auto r = run({"--json", "set", "preset", "\xe9"});
    EXPECT_EQ(r.status, 2);
    const json j = json::parse(r.out);
    EXPECT_EQ(j["error"], "preset: \"\\xe9\" is neither 1-7 nor a preset name (1 super, 2 ultra, 3 excellent, "
                          "4 good, 5 fair, 6 poor, 7 mobile)");
    EXPECT_EQ(r.err, "ravelinctl: parsing the command line: " + j["error"].get<std::string>() + "\n");
    r = run({"--json", "flash", "read", dir + "/no/\xff.img"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NO_THROW(json::parse(r.out)) << r.out;
    EXPECT_NE(r.out.find("/no/\\\\xff.img"), std::string::npos) << r.out;
}

// A backup restores the name byte for byte, whatever stored it and in whatever encoding.
TEST_F(Ravelinctl, ProgramNameRoundTripsByteForByteThroughStatusAndApply)
{
    const std::vector<std::string> names = {"\xe9", "Caf\xe9", std::string(160, '\xe9'),
                                            std::string(159, 'a') + "\xfc", "Caf\xc3\xa9", ""};
    for (const auto& name : names) {
        for (bool by_ravelins : {true, false}) {
            SCOPED_TRACE(std::to_string(name.size()) + (by_ravelins ? " bytes by ravelins" : " bytes by the window"));
            std::remove((dir + "/eeprom").c_str());
            if (by_ravelins) {
                ASSERT_EQ(testsupport::run_under_cardsim(CARDSIM_PATH, dir, RAVELINS_PATH, {"-K", name}).status, 0);
            } else {  // the window stores the Latin-1 bytes of what was typed
                store_eeprom({{18, {96, (unsigned char)name.size()}},
                              {96, std::vector<unsigned char>(name.begin(), name.end())}});
            }
            const std::string stored = eeprom(96, int(name.size()));
            auto r = run({"--json", "status"});
            ASSERT_EQ(r.status, 0) << r.err;
            const json backup = json::parse(r.out);
            write_file("card.json", r.out);
            json changed = run_json({"name", "other"});
            ASSERT_EQ(changed["written"], json::array({"program_name"}));
            r = run({"apply", dir + "/card.json"});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, "output: unchanged\nmute: unchanged\nprogram name: changed\n");
            char length[4];
            std::snprintf(length, sizeof length, "%02x", unsigned(name.size()));
            EXPECT_EQ(eeprom(19, 1), length);
            EXPECT_EQ(eeprom(96, int(name.size())), stored);
            EXPECT_EQ(run_json({"status"})["program_name"], backup["program_name"]);
            // and nothing more to do
            r = run({"apply", dir + "/card.json"});
            EXPECT_EQ(r.out, "output: unchanged\nmute: unchanged\nprogram name: unchanged\n");
        }
    }
}

TEST_F(Ravelinctl, ApplyRefusesWhatItCannotTakeExactlyBeforeAnythingIsSent)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"mute":true,"mute":false})", "key \"mute\" given twice in one object"},
        {R"({"output":{"mode":"auto","mode":"auto"}})", "key \"mode\" given twice in one object"},
        {R"({"output":{"mode":"none","invalid_preset":"x"},"mute":true})",
         "output \"invalid_preset\" must be a whole number from 8 to 255"},
        {R"({"output":{"mode":"advanced","consistent":true}})", "\"consistent\" is only ever false"},
        {R"({"adapter":"0"})", "\"adapter\" must be a whole number from 0 to 255"},
        {R"({"frontend":-1})", "\"frontend\" must be a whole number from 0 to 255"},
        {R"({"mac":5})", "\"mac\" must be a MAC address"},
        {R"({"input":[]})", "\"input\" must be an object"},
        {R"({"adapter":1e999})", "number overflow"},
        {R"({"adapter":99999999999999999999999})", "\"adapter\" must be a whole number"},
        {R"({"mute":1e999})", "number overflow"},
        {R"({"program_name_hex":"e"})", "\"program_name_hex\" must be the name's bytes"},
        {R"({"program_name_hex":"E9"})", "\"program_name_hex\" must be the name's bytes"},
        {R"({"program_name":"Cafe","program_name_hex":"436166e9"})", "name different bytes"},
        {"{\"program_name_hex\":\"" + std::string(322, 'a') + "\"}", "161 bytes, at most 160"},
        {"{\"program_name\":\"\xe9\"}", "not JSON"},
        {"{\"program_name\":\"" + std::string(70000, 'a') + "\"}",
         "more than 65536 bytes, more than ravelinctl reads from it"},
    };
    for (const auto& [text, message] : cases) {
        auto r = run({"apply", "-"}, {}, text);
        EXPECT_EQ(r.status, 2) << text.substr(0, 80);
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(count(""), 0) << message;  // not even an open
    }
    // endless input ends at the limit, without waiting for the end
    auto r = run({"apply", "/dev/zero"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "ravelinctl: reading /dev/zero: /dev/zero: more than 65536 bytes, more than ravelinctl reads "
                     "from it\n");
    EXPECT_EQ(count(""), 0);
}

// ---- A run that fails after it wrote says what it wrote

TEST_F(Ravelinctl, APartialChangeIsToldAsWritten)
{
    write_file("card.json", R"({"output": {"mode": "preset", "preset": 3}, "mute": true, "program_name": "N"})");
    struct Case {
        std::vector<std::string> card;
        std::vector<std::string> args;
        json written;  // null: nothing had been written
        std::string step;
    };
    const std::vector<Case> cases = {
        // the preset is stored, then the capture restart never ends
        {{"--fault", "busy=forever"}, {"apply", dir + "/card.json"}, {"output"}, "setting the output format to preset 3"},
        {{"--fault", "busy=forever"}, {"name", "x"}, {"program_name"}, "storing the program name"},
        // the card refuses each EEPROM write
        {{"--fault", "write-error"}, {"mute", "on"}, {"mute"}, "storing mute on"},
        {{"--fault", "write-error"}, {"apply", dir + "/card.json"}, {"output"}, "setting the output format to preset 3"},
        // nothing reaches the card: the reading before any write fails
        {{"--fault", "receiver-busy"}, {"apply", dir + "/card.json"}, nullptr, "reading EEPROM 16-22"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.card[1] + " " + c.args[0]);
        std::remove((dir + "/eeprom").c_str());
        std::vector<std::string> args = {"--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto r = run(args, c.card);
        EXPECT_EQ(r.status, 1);
        const json j = json::parse(r.out);
        EXPECT_EQ(j["step"], c.step);
        EXPECT_EQ(j.contains("changed"), !c.written.is_null()) << j;
        if (!c.written.is_null()) {
            EXPECT_EQ(j["changed"], true);
            EXPECT_EQ(j["written"], c.written);
        }
        std::remove((dir + "/eeprom").c_str());
        r = run(c.args, c.card);
        const std::string said = "ravelinctl: written before the failure, the card may store it: ";
        if (c.written.is_null()) {
            EXPECT_EQ(r.err.find(said), std::string::npos) << r.err;
        } else {
            const std::string what = c.written[0] == "program_name" ? "program name" : c.written[0].get<std::string>();
            EXPECT_NE(r.err.find(said + what + "\n"), std::string::npos) << r.err;
        }
    }
    // the card now stores what the failed run wrote
    std::remove((dir + "/eeprom").c_str());
    run({"set", "preset", "5"}, {"--fault", "busy=forever"});
    EXPECT_EQ(eeprom(20, 2), "00 05");
}

// ---- Whether there is an input signal, from what the card reports

TEST_F(Ravelinctl, StatusSaysWhetherThereIsASignal)
{
    const std::vector<std::tuple<std::vector<std::string>, bool, std::string>> cases = {
        {{"--signal", "1280x720@50i"}, true, "input: 1280x720, rate 50, interlaced\n"},
        {{"--signal", "0x0@0i"}, false, "input: no signal\n"},
        {{"--signal", "0x1080@60p"}, false, "input: no signal\n"},
        {{"--signal", "1920x0@60p"}, false, "input: no signal\n"},
        {{"--signal", "1x1@0i"}, true, "input: 1x1, rate 0, interlaced\n"},
    };
    for (const auto& [card, signal, line] : cases) {
        SCOPED_TRACE(card[1]);
        EXPECT_EQ(run_json({"status"}, card)["input"]["signal"], signal);
        auto r = run({"status"}, card);
        EXPECT_NE(r.out.find("\n" + line), std::string::npos) << r.out;
    }
}

// ---- Each command's own help, and JSON for help and version too

TEST_F(Ravelinctl, EachCommandHasItsOwnHelp)
{
    const std::string all = run({"--help"}).out;
    for (const std::string c : {"list", "status", "set", "mute", "name", "reset", "apply", "diff", "flash"}) {
        SCOPED_TRACE(c);
        auto r = run({"help", c});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.rfind("Usage: ravelinctl [OPTIONS] " + c + " ...\n  " + c + " ", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("\nThe options and the exit status: ravelinctl --help\n"), std::string::npos);
        // its lines, as the whole help has them, and no other command's
        const std::string own = r.out.substr(r.out.find('\n') + 1, r.out.find("\n\n") - r.out.find('\n'));
        EXPECT_NE(all.find(own), std::string::npos) << own;
        for (const std::string other : {"list ", "status ", "mute ", "reset ", "apply ", "diff ", "flash "})
            if (other != c + " ") {
                EXPECT_EQ(own.find("\n  " + other), std::string::npos) << other;
            }
        EXPECT_EQ(run({c, "--help"}).out, r.out);
        EXPECT_EQ(run({"-a", "1", c, "-h"}).out, r.out);
        const json j = run_json({"help", c});
        EXPECT_EQ(j, (json{{"help", r.out}}));
    }
    EXPECT_EQ(run({"help"}).out, all);
    EXPECT_EQ(run_json({"--help"}), (json{{"help", all}}));
    auto r = run({"help", "frobnicate"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "ravelinctl: parsing the command line: help: unknown command \"frobnicate\"; see --help\n");
    const json v = run_json({"--version"});
    EXPECT_EQ("ravelinctl " + v["version"].get<std::string>() + "\n", run({"--version"}).out);
    EXPECT_EQ(count("OPEN"), 0);
}

// ravelins prints the same bytes and makes the same requests whatever the
// card's version word and flash identification.
TEST_F(Ravelinctl, RavelinsIsTheSameOnACardWithOtherOpenValues)
{
    const std::vector<std::string> args = {"-i", "-N", "-c", "-M", "3"};
    auto usual = testsupport::run_under_cardsim(CARDSIM_PATH, dir, RAVELINS_PATH, args);
    const std::vector<std::string> usual_trace = trace();
    std::remove((dir + "/eeprom").c_str());
    auto other = testsupport::run_under_cardsim(CARDSIM_PATH, dir, RAVELINS_PATH, args,
                                                {"--version-word", "0x00000000", "--flash-id", "ef:40:17"});
    EXPECT_EQ(other.status, usual.status);
    EXPECT_EQ(other.out, usual.out);
    EXPECT_EQ(trace(), usual_trace);
}
