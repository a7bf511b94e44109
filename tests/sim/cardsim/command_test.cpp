// SPDX-License-Identifier: GPL-2.0-or-later
// The cardsim command: options, errors, --show and --reset.
#include "sim_fixture.h"

#include "config.h"

#include <algorithm>
#include <sys/stat.h>

// The suite is named after this file, so that a failing test leads to it.
using Command = SimTest;

namespace {

testsupport::Result cardsim_run(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
{
    std::vector<std::string> argv{CARDSIM_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::run(argv, env);
}

void write_file(const std::string& path, const std::string& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

}  // namespace

TEST_F(Command, HelpExplainsOptionsFaultsAndTime)
{
    start({}, false);
    auto r = cardsim_run({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* word : {"--state", "--node", "--signal", "--mac", "--busy-time", "--fault", "--real-time",
                             "--trace", "--flash-id", "--flash-busy-time", "--show", "--reset", "receiver-busy",
                             "no-completion", "write-error", "busy=N", "busy=forever", "busy-at-start",
                             "reg-read-fail", "latency=N", "spi-busy", "flash-stuck", "other-driver", "--version-word",
                             "--seed", "Virtual time", "Examples", "--deny", "--unplug-after", "--card", "--rack",
                             "Rack:"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

TEST_F(Command, BadInputExitsWith2AndMakesNoCard)
{
    start({}, false);
    std::string fresh = dir + "/not-yet";
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},
        {"--signal", "1920x1080"},
        {"--signal", "1920x1080@300p"},
        {"--signal", "wide@60p"},
        {"--fault", "busy=soon"},
        {"--fault", "slow"},
        {"--fault", "write-error=2"},
        {"--mac", "00:11:22"},
        {"--busy-time", "-1"},
        {"--busy-time", "1e3"},
        {"--node", "a:b"},
        {"--flash-id", "c2:20"},
        {"--flash-busy-time", ".5.5"},
        {},
    };
    for (auto args : cases) {
        std::string label = args.empty() ? "(no action)" : args[0];
        args.insert(args.begin(), {"--state", fresh});
        if (args.size() > 2)
            args.insert(args.end(), {"--", CLIENT_BIN, "open", "0:0"});
        auto r = cardsim_run(args);
        EXPECT_EQ(r.status, 2) << label;
        EXPECT_EQ(r.out, "") << label;
        EXPECT_EQ(r.err.rfind("cardsim: ", 0), 0u) << r.err;
        EXPECT_FALSE(exists(fresh)) << label;
    }
}

TEST_F(Command, CorruptStateIsRefusedUntouched)
{
    start({}, false);
    ASSERT_EQ(cardsim_run({"--state", dir, "--", CLIENT_BIN}).status, 0);
    std::string short_image(255, '\x11');
    write_file(dir + "/eeprom", short_image);
    for (auto args : std::vector<std::vector<std::string>>{{"--", CLIENT_BIN, "open", "0:0"}, {"--show"}}) {
        args.insert(args.begin(), {"--state", dir});
        auto r = cardsim_run(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("corrupt state: " + dir + "/eeprom has 255 bytes, not 256"), std::string::npos) << r.err;
        EXPECT_EQ(file("eeprom"), short_image);
    }

    write_file(dir + "/eeprom", std::string(256, '\0'));
    write_file(dir + "/registers", "0x48 1\n");
    auto r = cardsim_run({"--state", dir, "--show"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("registers"), std::string::npos);
    remove((dir + "/registers").c_str());

    write_file(dir + "/flash", std::string(4096, '\xff'));
    r = cardsim_run({"--state", dir, "--", CLIENT_BIN});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("flash has 4096 bytes, not 4194304"), std::string::npos) << r.err;
}

TEST_F(Command, StateEntriesThatAreNoFilesAreRefused)
{
    start({}, false);
    ASSERT_EQ(cardsim_run({"--state", dir, "--", CLIENT_BIN}).status, 0);
    std::string image = file("eeprom");

    // a FIFO must not make cardsim wait for a writer
    ASSERT_EQ(mkfifo((dir + "/registers").c_str(), 0600), 0);
    for (auto args : std::vector<std::vector<std::string>>{{"--show"}, {"--", CLIENT_BIN, "open", "0:0"}}) {
        args.insert(args.begin(), {"--state", dir});
        auto r = cardsim_run(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("cannot read " + dir + "/registers"), std::string::npos) << r.err;
    }
    remove((dir + "/registers").c_str());

    ASSERT_EQ(mkdir((dir + "/flash").c_str(), 0700), 0);
    auto r = cardsim_run({"--state", dir, "--show"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("corrupt state: " + dir + "/flash is not a file"), std::string::npos) << r.err;
    rmdir((dir + "/flash").c_str());

    remove((dir + "/eeprom").c_str());
    ASSERT_EQ(mkdir((dir + "/eeprom").c_str(), 0700), 0);
    r = cardsim_run({"--state", dir, "--", CLIENT_BIN, "open", "0:0"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("corrupt state: " + dir + "/eeprom is not a file"), std::string::npos) << r.err;
    EXPECT_TRUE(exists(dir + "/eeprom/."));
}

TEST_F(Command, ResetMakesTheCardNew)
{
    start({}, false);
    write_file(dir + "/eeprom", std::string(255, '\x11'));
    write_file(dir + "/flash", "x");
    write_file(dir + "/registers", "0x48 0x00000001\n");
    auto r = cardsim_run({"--state", dir, "--reset", "--mac", "02:03:04:05:06:07"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string expected(256, '\0');
    expected.replace(8, 6, "\x02\x03\x04\x05\x06\x07");
    expected[18] = 0x60;
    expected[20] = 1;
    EXPECT_EQ(file("eeprom"), expected);
    EXPECT_FALSE(exists(dir + "/flash"));
    EXPECT_FALSE(exists(dir + "/registers"));
}

// The tests start every card from none of the card's settings: the list they
// clear holds every variable that cardsim hands to its COMMAND, and clearing
// unsets each of them and CARDSIM_LOCK_WAIT, which only tests set.
TEST_F(Command, EverySettingItExportsIsOneTheTestsClear)
{
    start({}, false);
    std::string script = dir + "/env.sh";
    write_file(script, "#!/bin/sh\nexec env\n");
    ASSERT_EQ(chmod(script.c_str(), 0700), 0);
    auto r = cardsim_run({"--state", dir, "--trace", dir + "/trace", "--reg48", "1", "--reg4c", "2", "--factory-fill",
                          "ab", "--seed", "7", "--deny", "--unplug-after", "3", "--card", "0:0", "--", script});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto listed = testsupport::card_settings();
    auto is_listed = [&](const std::string& name) {
        return std::find(listed.begin(), listed.end(), name) != listed.end();
    };
    std::vector<std::string> exported;
    size_t start = 0;
    while (start < r.out.size()) {
        size_t end = r.out.find('\n', start);
        std::string line = r.out.substr(start, end - start);
        start = end == std::string::npos ? r.out.size() : end + 1;
        std::string name = line.substr(0, line.find('='));
        // what the caller's own environment hands through is not cardsim's
        if (name.rfind("CARDSIM_", 0) == 0 && (is_listed(name) || !getenv(name.c_str())))
            exported.push_back(name);
    }
    for (const auto& name : exported)
        EXPECT_TRUE(is_listed(name)) << name << " is exported but not among testsupport::card_settings";
    for (unsigned i = 0; i < cardsim::setting_count; ++i) {
        if (cardsim::setting_table[i].format) {
            EXPECT_NE(std::find(exported.begin(), exported.end(), cardsim::setting_table[i].variable), exported.end())
                << cardsim::setting_table[i].variable << " is a setting but cardsim does not export it";
        }
    }
    exported.push_back("CARDSIM_LOCK_WAIT");
    for (const auto& name : exported)
        setenv(name.c_str(), "1", 1);
    testsupport::clear_card_settings();
    for (const auto& name : exported)
        EXPECT_EQ(getenv(name.c_str()), nullptr) << name << " is left set for the next test";
}

TEST_F(Command, ShowDecodesTheStoredState)
{
    start({}, false);
    std::string e(256, '\0');
    e.replace(8, 6, "\x00\x1a\x2b\x3c\x4d\x5e", 6);
    e[16] = 0;
    e[17] = 11;
    e[18] = 0x60;
    e[19] = 3;
    e[22] = 1;
    // Advanced: High profile level 4.1, 1280x720, 5000 kbit/s, 30 frames per second.
    const unsigned entries[11][2] = {{0x1526, 0x129}, {0x152c, 1280}, {0x152e, 720}, {0x1532, 12500},
                                     {0x1534, 10000}, {0x1536, 5000}, {0x1538, 2500},  {0x1104, 17500},
                                     {0x1584, 0},     {0x1586, 60},   {0x1588, 1}};
    for (int i = 0; i < 11; ++i) {
        e[32 + 4 * i] = char(entries[i][0] >> 8);
        e[33 + 4 * i] = char(entries[i][0]);
        e[34 + 4 * i] = char(entries[i][1] >> 8);
        e[35 + 4 * i] = char(entries[i][1]);
    }
    e.replace(96, 3, "abc");
    write_file(dir + "/eeprom", e);
    write_file(dir + "/registers", "0x48 0x00000000\n0x4c 0x00000003\n");

    auto r = cardsim_run({"--state", dir, "--show"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* line : {
             "Output format     advanced (the entries below)\n",
             "Advanced entries  11 stored\n",
             "   0  0x1526 profile and level  297: High profile, level 4.1\n",
             "   1  0x152c width              1280 pixels\n",
             "   2  0x152e height             720 pixels\n",
             "   5  0x1536 bit rate           5000 kbit/s\n",
             "   9  0x1586 frame rate x 2     60: 30 frames per second\n",
             "Mute              on (address 22 = 1)\n",
             "Program name      \"abc\" (3 bytes at 96)\n",
             "MAC address       00:1a:2b:3c:4d:5e\n",
             "Register 0x48     last written 0x00000000: output format is the preset in 0x4C\n",
             "Register 0x4C     last written 0x00000003: preset 3 excellent 1280*720\n",
             "Flash             blank (never used)\n",
             "Flash id          c2:20:16 (from --flash-id; not stored)\n",
             "   16: 00 0b 60 03 00 00 01 00 00 00 00 00 00 00 00 00\n",
         })
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n---\n" << r.out;

    e[20] = 0;
    e[21] = 7;
    write_file(dir + "/eeprom", e);
    r = cardsim_run({"--state", dir, "--show"});
    EXPECT_NE(r.out.find("Output format     manual, preset 7 mobile 480*272\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Advanced entries  11 stored, not in use\n"), std::string::npos) << r.out;
}

TEST_F(Command, ShowOfAMissingCardCreatesNothing)
{
    start({}, false);
    std::string fresh = dir + "/none";
    auto r = cardsim_run({"--state", fresh, "--show"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("no card there yet"), std::string::npos);
    EXPECT_NE(r.out.find("Output format     automatic: the output follows the input\n"), std::string::npos);
    EXPECT_FALSE(exists(fresh));
}

TEST_F(Command, MissingInterposerIsNamed)
{
    start({}, false);
    const char* name = sizeof(void*) == 4 ? "CARDSIM_PRELOAD_32" : "CARDSIM_PRELOAD_64";
    auto r = cardsim_run({"--state", dir, "--", CLIENT_BIN}, {std::string(name) + "=" + dir + "/nothing.so"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(name), std::string::npos) << r.err;
}

TEST_F(Command, UnknownCommandExits127)
{
    start({}, false);
    // the test's own PATH last: where qemu-i386 is, for a 32-bit cardsim
    const std::string path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    auto r = cardsim_run({"--state", dir, "--", "no-such-program-here"}, {"PATH=/nonexistent/bin::" + dir + ":" + path});
    EXPECT_EQ(r.status, 127);
    std::string listed = path;
    for (size_t colon; (colon = listed.find(':')) != std::string::npos;)
        listed.replace(colon, 1, ", ");
    // an empty entry is the current folder
    EXPECT_EQ(r.err, "cardsim: no-such-program-here: command not found (looked in /nonexistent/bin, ., " + dir + ", " +
                         listed + ")\n");
}
