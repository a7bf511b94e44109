// SPDX-License-Identifier: GPL-2.0-or-later
// A rack: several distinct cards in one run, served in this process and by
// the cardsim command (--card, --rack), and a cardsim inside another.
#include "sim_fixture.h"

#include <sys/stat.h>

using Rack = SimTest;

namespace {

const std::string rack_cards = "0:0,mac=02:00:00:00:00:01;"
                               "1:0,mac=02:00:00:00:00:02,signal=none;"
                               "2:0,deny;"
                               "3:0,mac=02:00:00:00:00:04,unplug-after=5";

std::string node(unsigned a) { return "/dev/dvb/adapter" + std::to_string(a) + "/frontend0"; }

std::string mac_of(int fd)
{
    unsigned char mac[8] = {};
    cardio::eeprom_read(fd, zeb_eeprom::mac, 6, mac);
    char text[20];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

testsupport::Result cardsim_run(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{CARDSIM_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::run(argv);
}

void write_file(const std::string& path, const std::string& text)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

}  // namespace

TEST_F(Rack, EachNodeIsItsOwnCard)
{
    start({"CARDSIM_CARDS=" + rack_cards, "CARDSIM_SIGNAL=1280x720@50i"}, false);
    int a = open(node(0).c_str(), O_RDWR), b = open(node(1).c_str(), O_RDWR);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_EQ(mac_of(a), "02:00:00:00:00:01");
    EXPECT_EQ(mac_of(b), "02:00:00:00:00:02");
    // the run's signal for the card that has none of its own; none: both words 0
    uint32_t v = 1;
    EXPECT_EQ(cardio::reg_read(a, 0x48, v), 0);
    EXPECT_EQ(v, 0xd0020005u);
    EXPECT_EQ(cardio::reg_read(b, 0x48, v), 0);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(cardio::reg_read(b, 0x4c, v), 0);
    EXPECT_EQ(v, 0u);
    // a write to one card stays in that card
    unsigned char on = 1;
    EXPECT_TRUE(cardio::eeprom_write(a, zeb_eeprom::mute, 1, &on).done);
    EXPECT_EQ(testsupport::read_file(dir + "/adapter0-frontend0/eeprom")[zeb_eeprom::mute], 1);
    EXPECT_EQ(testsupport::read_file(dir + "/adapter1-frontend0/eeprom")[zeb_eeprom::mute], 0);
    EXPECT_FALSE(exists(dir + "/eeprom"));
    // a node of no card of the rack is none
    errno = 0;
    EXPECT_LT(open(node(4).c_str(), O_RDONLY), 0);
    EXPECT_EQ(errno, ENOENT);
    close(a);
    close(b);
}

// With a seed, each card draws its own open values from it and its node;
// what a card gives stays its own.
TEST_F(Rack, EachCardDrawsItsOwnOpenValuesFromTheSeed)
{
    start({"CARDSIM_CARDS=0:0;1:0;2:0,mac=02:00:00:00:00:03,version-word=0x11223344", "CARDSIM_SEED=7"}, false);
    std::vector<std::string> macs;
    std::vector<uint32_t> versions;
    for (unsigned a = 0; a < 3; ++a) {
        int fd = open(node(a).c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        macs.push_back(mac_of(fd));
        uint32_t v = 0;
        EXPECT_EQ(cardio::reg_read(fd, 0x20, v), 0);
        versions.push_back(v);
        close(fd);
    }
    EXPECT_NE(macs[0], macs[1]);
    EXPECT_NE(versions[0], versions[1]);
    EXPECT_EQ(macs[2], "02:00:00:00:00:03");
    EXPECT_EQ(versions[2], 0x11223344u);
    // the same seed, another order: each card the same values
    testsupport::SimState again("again");
    ASSERT_EQ(again.start({"CARDSIM_CARDS=1:0;0:0", "CARDSIM_SEED=7"}), "");
    for (unsigned a = 0; a < 2; ++a) {
        int fd = open(node(a).c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(mac_of(fd), macs[a]);
        close(fd);
    }
}

TEST_F(Rack, DeniedNodeRefusesEveryOpenerAndMakesNothing)
{
    start({"CARDSIM_CARDS=" + rack_cards}, false);
    for (int flags : {O_RDONLY, O_RDWR}) {
        errno = 0;
        EXPECT_LT(open(node(2).c_str(), flags), 0);
        EXPECT_EQ(errno, EACCES);
    }
    EXPECT_FALSE(exists(dir + "/adapter2-frontend0"));
    // the one card, too
    testsupport::SimState one("one");
    ASSERT_EQ(one.start({"CARDSIM_DENY=1"}), "");
    errno = 0;
    EXPECT_LT(open(node(0).c_str(), O_RDONLY), 0);
    EXPECT_EQ(errno, EACCES);
}

TEST_F(Rack, UnpluggedCardFailsWithEnodevAndItsNodeIsGone)
{
    start({"CARDSIM_CARDS=" + rack_cards}, false);
    int gone = open(node(3).c_str(), O_RDWR), stays = open(node(0).c_str(), O_RDWR);
    ASSERT_GE(gone, 0);
    ASSERT_GE(stays, 0);
    uint32_t v;
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(cardio::reg_read(gone, 0x20, v), 0) << "request " << i + 1;
    EXPECT_EQ(cardio::reg_read(gone, 0x20, v), ENODEV);
    EXPECT_EQ(cardio::window_write(gone, 0, 0), ENODEV);
    EXPECT_EQ(cardio::reg_read(stays, 0x20, v), 0);
    EXPECT_EQ(close(gone), 0);
    errno = 0;
    EXPECT_LT(open(node(3).c_str(), O_RDONLY), 0);
    EXPECT_EQ(errno, ENOENT);
    // every program of the run finds it gone: the mark in its folder
    EXPECT_TRUE(exists(dir + "/adapter3-frontend0/unplugged"));
    ASSERT_EQ(cardsim_reload(), 0);
    errno = 0;
    EXPECT_LT(open(node(3).c_str(), O_RDONLY), 0);
    EXPECT_EQ(errno, ENOENT);
    close(stays);
}

TEST_F(Rack, MalformedCardsAreRefusedByTheInterposer)
{
    for (const char* cards : {"0:0,colour=red", "0:0;0:0", "0:0,trace=/tmp/x", "x:0", "0:0,deny=1", ""}) {
        testsupport::SimState state("bad");
        EXPECT_NE(state.start({std::string("CARDSIM_CARDS=") + cards}), "") << cards;
        errno = 0;
        EXPECT_LT(open(node(0).c_str(), O_RDONLY), 0);
        EXPECT_EQ(errno, EIO) << cards;
    }
}

// ---- the cardsim command

TEST_F(Rack, MalformedRackIsRefusedWithItsLineAndNothingIsMade)
{
    start({}, false);
    const std::string fresh = dir + "/not-yet";
    const std::vector<std::pair<std::string, std::string>> files = {
        {"0:0\n# a comment\n1:0 colour=red\n",
         "rack.txt:3: 'colour' is not a setting of a card (a card takes signal, reg48, reg4c, mac, busy-time, "
         "fault, flash-id, version-word, factory-fill, flash-busy-time, deny, unplug-after)"},
        {"1:0 seed=5\n", "rack.txt:1: 'seed' is the same for every card of a run: give it as --seed"},
        {"0:0 mac=02:00:00:00:00:01\n0:0 mac=02:00:00:00:00:02\n",
         "rack.txt:2: node 0:0 has a card already (0:0,mac=02:00:00:00:00:01)"},
        {"1:0\nmac=02:00:00:00:00:01\n", "rack.txt:2: 'mac=02:00:00:00:00:01' is not a node A:F"},
        {"1:0 signal=1920x1080\n", "rack.txt:1: signal: '1920x1080' is not a signal"},
        {"1:0 state=/tmp\n", "rack.txt:1: 'state' is the same for every card of a run: give it as --state"},
        {"1:0 deny=yes\n", "rack.txt:1: 'deny' takes no value"},
        {"1:0 unplug-after\n", "rack.txt:1: 'unplug-after' needs a value (unplug-after=N)"},
        {"1:0 fault=slow\n", "rack.txt:1: fault: "},
        {"# nothing\n\n", "rack.txt: no card in it"},
    };
    for (const auto& [text, message] : files) {
        write_file(dir + "/rack.txt", text);
        auto r = cardsim_run({"--state", fresh, "--rack", dir + "/rack.txt", "--", CLIENT_BIN, "open", "0:0"});
        EXPECT_EQ(r.status, 2) << text;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("cardsim: --rack: " + dir + "/" + message, 0), 0u) << r.err;
        EXPECT_FALSE(exists(fresh)) << text;
    }
    const std::vector<std::vector<std::string>> options = {
        {"--rack", dir + "/missing.txt"},
        {"--rack", dir},
        {"--card", "0:0", "--node", "1:0"},
        {"--card", "0:0,mac"},
        {"--card", ""},
    };
    for (auto args : options) {
        args.insert(args.begin(), {"--state", fresh});
        args.insert(args.end(), {"--", CLIENT_BIN, "open", "0:0"});
        auto r = cardsim_run(args);
        EXPECT_EQ(r.status, 2) << args[3];
        EXPECT_EQ(r.err.rfind("cardsim: --", 0), 0u) << r.err;
        EXPECT_FALSE(exists(fresh)) << args[3];
    }
}

TEST_F(Rack, ShowResetAndTheCardsFolders)
{
    start({}, false);
    write_file(dir + "/rack.txt", "0:0 mac=02:00:00:00:00:01\n\n 2:1 ,signal=none, unplug-after=0 # gone at once\n");
    auto r = cardsim_run({"--state", dir, "--rack", dir + "/rack.txt", "--", CLIENT_BIN, "open", "0:0"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = cardsim_run({"--state", dir, "--rack", dir + "/rack.txt", "--show"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Card at /dev/dvb/adapter0/frontend0\nCard state in " + dir + "/adapter0-frontend0\n", 0),
              0u)
        << r.out;
    EXPECT_NE(r.out.find("\n\nCard at /dev/dvb/adapter2/frontend1\nCard state in " + dir + "/adapter2-frontend1\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("MAC address       02:00:00:00:00:01\n"), std::string::npos);

    // a card gone at once, for the rest of the run; the next run plugs it in again
    const std::string mark = dir + "/adapter2-frontend1/unplugged";
    r = cardsim_run({"--state", dir, "--rack", dir + "/rack.txt", "--", CLIENT_BIN, "open", "2:1", "rr", "0x20",
                     "close", "open", "2:1"});
    EXPECT_EQ(r.out, "open ok\nrr ENODEV\nclose 0\nopen ENOENT\n") << r.err;
    EXPECT_TRUE(exists(mark));
    r = cardsim_run({"--state", dir, "--card", "2:1", "--", CLIENT_BIN, "open", "2:1"});
    EXPECT_EQ(r.out, "open ok\n") << r.err;
    EXPECT_FALSE(exists(mark));
    // the one card of a run without a rack, too
    r = cardsim_run({"--state", dir, "--unplug-after", "0", "--", CLIENT_BIN, "open", "0:0", "rr", "0x20"});
    EXPECT_EQ(r.out, "open ok\nrr ENODEV\n") << r.err;
    EXPECT_TRUE(exists(dir + "/unplugged"));
    r = cardsim_run({"--state", dir, "--", CLIENT_BIN, "open", "0:0", "rr", "0x48"});
    EXPECT_EQ(r.out, "open ok\nrr 0x38048007\n") << r.err;
    EXPECT_FALSE(exists(dir + "/unplugged"));

    // --reset makes every card new
    write_file(dir + "/adapter0-frontend0/registers", "0x48 0x00000001\n");
    r = cardsim_run({"--state", dir, "--rack", dir + "/rack.txt", "--reset"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(exists(dir + "/adapter0-frontend0/registers"));

    // a card's folder that is a link is never followed
    std::string elsewhere = testsupport::make_temp_dir("elsewhere");
    ASSERT_EQ(symlink(elsewhere.c_str(), (dir + "/adapter5-frontend0").c_str()), 0);
    r = cardsim_run({"--state", dir, "--card", "5:0", "--", CLIENT_BIN, "open", "5:0"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cardsim: unsafe state: " + dir +
                         "/adapter5-frontend0 is a symbolic link, which cardsim never follows; remove it\n");
    EXPECT_FALSE(exists(elsewhere + "/eeprom"));
}

TEST_F(Rack, CardsimInsideCardsimSaysSoAndServesItsOwnCards)
{
    start({}, false);
    auto r = cardsim_run({"--state", dir, "--card", "1:0", "--", CARDSIM_BIN, "--state", dir + "/inner", "--card",
                          "4:0", "--", CLIENT_BIN, "open", "4:0"});
    EXPECT_EQ(r.out, "open ok\n");
    EXPECT_EQ(r.err, "cardsim: note: running inside another cardsim; COMMAND gets this run's cards only, not the "
                     "outer run's\n");
    EXPECT_TRUE(exists(dir + "/inner/adapter4-frontend0/eeprom"));
    // in a private /dev of its own, where the outer run's nodes are not;
    // a package build's chroot gives cardsim no private /dev at all
    r = cardsim_run({"--state", dir, "--card", "1:0", "--", PROBE_BIN, "list", "/dev/dvb"});
    if (r.out != "list /dev/dvb: adapter1\n") {
        std::cout << "[ SKIPPED  ] the inner run's private /dev: cardsim makes none here (" << r.out << r.err
                  << ")\n";
    } else {
        r = cardsim_run({"--state", dir, "--card", "1:0", "--", CARDSIM_BIN, "--state", dir + "/inner", "--card",
                         "4:0", "--", PROBE_BIN, "list", "/dev/dvb", "syscall", "/dev/dvb/adapter1/frontend0"});
        EXPECT_EQ(r.out, "list /dev/dvb: adapter4\nsyscall /dev/dvb/adapter1/frontend0 ENOENT\n") << r.err;
    }
    // the outer card is not the inner run's; no warning of real devices without the private /dev either
    r = cardsim_run({"--state", dir, "--card", "1:0", "--", CARDSIM_BIN, "--no-isolation", "--state",
                     dir + "/inner", "--card", "4:0", "--", CLIENT_BIN, "open", "1:0"});
    EXPECT_EQ(r.out, "open ENOENT\n");
    EXPECT_EQ(r.err.find("real DVB devices are in sight"), std::string::npos) << r.err;
}
