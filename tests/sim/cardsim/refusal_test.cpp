// SPDX-License-Identifier: GPL-2.0-or-later
// cardsim's refusals: each says what and why, exits 2 (126 or 127 for a
// COMMAND that cannot be run or found), and leaves nothing on disk.
#include "sim_fixture.h"

#include "program_class.h"

#include <climits>
#include <sys/stat.h>

namespace {

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void write_file(const std::string& path, const std::string& bytes, mode_t mode)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

class LauncherRefusalTest : public SimTest {
protected:
    void SetUp() override
    {
        unsetenv("CARDSIM_PRELOAD_32");
        unsetenv("CARDSIM_PRELOAD_64");
        start({}, false);
        card = dir + "/card";
        trace = dir + "/trace";
    }

    // cardsim with a fresh card folder and a trace; checks that neither was made.
    testsupport::Result refused(std::vector<std::string> args, const std::vector<std::string>& env = {},
                                int status = 2)
    {
        args.insert(args.begin(), {CARDSIM_BIN, "--trace", trace});
        auto r = testsupport::run(args, env);
        EXPECT_EQ(r.status, status) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("cardsim: ", 0), 0u) << r.err;
        EXPECT_FALSE(exists(trace)) << "the trace was made: " << r.err;
        EXPECT_FALSE(exists(card)) << "the card was made: " << r.err;
        return r;
    }

    std::string card, trace;
};

}  // namespace

TEST_F(LauncherRefusalTest, CommandThatCannotBeRunExits126AndOneNotFound127)
{
    std::string bin = dir + "/bin", tool = bin + "/tool";
    ASSERT_EQ(mkdir(bin.c_str(), 0700), 0);
    write_file(tool, "#!/bin/sh\necho ran\n", 0644);
    auto r = refused({"--state", card, "--", tool}, {}, 126);
    EXPECT_EQ(r.err, "cardsim: " + tool + ": cannot run " + tool + ": no permission to run it (no execute bit)\n");
    // the test's own PATH after: where qemu-i386 is, for a 32-bit cardsim
    const std::string path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    r = refused({"--state", card, "--", "tool"}, {"PATH=" + dir + ":" + bin + ":" + path}, 126);
    EXPECT_EQ(r.err, "cardsim: tool: cannot run " + tool + ": no permission to run it (no execute bit)\n");
    r = refused({"--state", card, "--", bin}, {}, 126);
    EXPECT_EQ(r.err, "cardsim: " + bin + ": cannot run " + bin + ": it is a folder\n");
    r = refused({"--state", card, "--", bin + "/none"}, {}, 127);
    EXPECT_EQ(r.err, "cardsim: " + bin + "/none: no such file\n");
    r = refused({"--state", card, "--", "no-such-tool-here"}, {"PATH=" + bin + ":" + path}, 127);
    std::string searched = bin + ":" + path;
    for (size_t colon; (colon = searched.find(':')) != std::string::npos;)
        searched.replace(colon, 1, ", ");
    EXPECT_EQ(r.err, "cardsim: no-such-tool-here: command not found (looked in " + searched + ")\n");
}

TEST_F(LauncherRefusalTest, EveryRefusalComesBeforeTheTraceAndTheCard)
{
    refused({"--state", card, "--fault", "slow", "--", CLIENT_BIN});
    auto r = refused({"--state", card, "--", CLIENT_BIN},
                     {std::string(sizeof(void*) == 8 ? "CARDSIM_PRELOAD_64=" : "CARDSIM_PRELOAD_32=") + dir +
                      "/none.so"});
    EXPECT_NE(r.err.find("none.so is not a"), std::string::npos) << r.err;

    // a trace in a folder that is not there
    r = testsupport::run({CARDSIM_BIN, "--trace", dir + "/no/trace", "--state", card, "--", CLIENT_BIN});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cardsim: cannot open the trace file " + dir + "/no/trace: the folder " + dir +
                         "/no does not exist\n");
    EXPECT_FALSE(exists(card));

    // a folder that others may write in, then a corrupt card: nothing is added to either
    ASSERT_EQ(mkdir(card.c_str(), 0770), 0);
    ASSERT_EQ(chmod(card.c_str(), 0770), 0);
    r = testsupport::run({CARDSIM_BIN, "--trace", trace, "--state", card, "--", CLIENT_BIN});
    EXPECT_EQ(r.status, 2);
    EXPECT_FALSE(exists(trace));
    EXPECT_FALSE(exists(card + "/eeprom"));
    ASSERT_EQ(chmod(card.c_str(), 0700), 0);
    write_file(card + "/eeprom", std::string(100, 'x'), 0600);
    r = testsupport::run({CARDSIM_BIN, "--trace", trace, "--state", card, "--", CLIENT_BIN});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("has 100 bytes"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(trace));
    EXPECT_FALSE(exists(card + "/eeprom.lock"));
}

TEST_F(LauncherRefusalTest, SharedFolderIsRefusedWithAdviceToUseOneOfYourOwn)
{
    ASSERT_EQ(mkdir(card.c_str(), 0700), 0);
    ASSERT_EQ(chmod(card.c_str(), 01777), 0);
    for (auto args : std::vector<std::vector<std::string>>{{"--", CLIENT_BIN}, {"--reset"}, {"--show"}}) {
        args.insert(args.begin(), {CARDSIM_BIN, "--state", card});
        auto r = testsupport::run(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "cardsim: unsafe state folder " + card +
                             ": it is a shared folder (mode 1777) where every user may make files; use a folder of "
                             "your own, such as one made by mktemp -d or the default ~/.local/state/cardsim\n");
        EXPECT_FALSE(exists(card + "/eeprom"));
    }
    auto r = testsupport::run({CARDSIM_BIN, "--state", "/tmp", "--", CLIENT_BIN});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("use a folder of your own"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("chmod"), std::string::npos) << r.err;
    EXPECT_FALSE(exists("/tmp/eeprom.lock") && !exists("/tmp/eeprom"));
}

// Root may read anything: the test acts as an ordinary user where it can.
TEST_F(LauncherRefusalTest, StateTheCallerMayNotReadOrWriteIsRefusedUpFront)
{
    std::vector<std::string> as_user;
    if (geteuid() == 0) {
        if (testsupport::run({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "true"}).status != 0)
            GTEST_SKIP() << "needs setpriv to act as an ordinary user";
        if (!nobody_reaches({CARDSIM_BIN, CLIENT_BIN, PRELOAD_LIB}))
            GTEST_SKIP() << "the user nobody cannot reach this tree's programs (a folder on their path is private)";
        as_user = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
        ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
    }
    auto cardsim = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--state", card});
        std::vector<std::string> program = as_argv(CARDSIM_BIN);
        args.insert(args.begin(), program.begin(), program.end());
        args.insert(args.begin(), as_user.begin(), as_user.end());
        return testsupport::run(args);
    };
    ASSERT_EQ(cardsim({"--", CLIENT_BIN, "open", "0:0"}).status, 0);
    std::string eeprom = testsupport::read_file(card + "/eeprom");

    ASSERT_EQ(chmod((card + "/eeprom").c_str(), 0), 0);
    for (auto args : std::vector<std::vector<std::string>>{{"--", CLIENT_BIN, "open", "0:0", "eeprom-read", "0", "4"},
                                                           {"--show"}}) {
        bool show = args[0] == "--show";
        auto r = cardsim(args);
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "cardsim: cannot use " + card + "/eeprom: you may not " +
                             (show ? "read" : "read and write") +
                             " it (mode 0000); give yourself the permission, or --reset the card\n");
    }
    ASSERT_EQ(chmod((card + "/eeprom").c_str(), 0400), 0);
    EXPECT_EQ(cardsim({"--show"}).status, 0);
    EXPECT_EQ(cardsim({"--", CLIENT_BIN}).status, 2);
    ASSERT_EQ(chmod((card + "/eeprom").c_str(), 0600), 0);

    ASSERT_EQ(chmod(card.c_str(), 0500), 0);
    auto r = cardsim({"--", CLIENT_BIN, "open", "0:0"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cardsim: cannot use the state folder " + card +
                         ": you may not read and write in it (mode 0500); give yourself the permission, or use "
                         "another folder\n");
    EXPECT_EQ(cardsim({"--show"}).status, 0);
    ASSERT_EQ(chmod(card.c_str(), 0700), 0);
    EXPECT_EQ(testsupport::read_file(card + "/eeprom"), eeprom);
}

TEST_F(LauncherRefusalTest, MissingInterposerSaysWhereItLooked)
{
    SKIP_WITHOUT_OTHER_CLASS_PROBES();
    char real[PATH_MAX];
    ASSERT_NE(realpath(CARDSIM_BIN, real), nullptr);
    std::string here = real;
    here.erase(here.rfind('/'));
    int other = sizeof(void*) == 8 ? 32 : 64;
    auto r = refused({"--state", card, "--", PROBE_OTHER_BIN});
    std::string n = std::to_string(other);
    EXPECT_EQ(r.err, "cardsim: no " + n + "-bit interposer found (looked for " + here + "/libcardsim.so, " + here +
                         "/../lib/" + (other == 32 ? "i386" : "x86_64") +
                         "-linux-gnu/cardsim/libcardsim.so); build the " + (other == 32 ? "i386" : "x86-64") +
                         " tree or set CARDSIM_PRELOAD_" + n + "\n");
}

// Only the last folder of --state or CARDSIM_STATE is made: a mistyped
// path never becomes a tree of new folders.
TEST_F(LauncherRefusalTest, StateFolderWithoutItsParentIsRefusedAndNothingIsMade)
{
    const std::string top = dir + "/a", deep = top + "/b/card";
    auto message = [&](const std::string& state) {
        return "cardsim: cannot make the state folder " + state + ": the folder " + top +
               "/b does not exist (cardsim makes only the last folder of the path; make " + top +
               "/b first, or use another folder)\n";
    };
    const struct {
        std::vector<std::string> args, env;
        std::string state;
    } cases[] = {
        {{"--state", deep, "--", CLIENT_BIN, "open", "0:0"}, {}, deep},
        {{"--state", deep + "/", "--reset"}, {}, deep + "/"},
        {{"--", CLIENT_BIN, "open", "0:0"}, {"CARDSIM_STATE=" + deep}, deep},
    };
    for (const auto& c : cases) {
        auto r = refused(c.args, c.env);
        EXPECT_EQ(r.err, message(c.state));
        EXPECT_FALSE(exists(top)) << "a refused run made " << top;
    }
    // --show makes nothing, so it needs no parent
    auto r = testsupport::run({CARDSIM_BIN, "--state", deep, "--show"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(exists(top));
    // with the parent there, the folder is made
    ASSERT_EQ(mkdir(top.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((top + "/b").c_str(), 0700), 0);
    r = testsupport::run({CARDSIM_BIN, "--state", deep, "--", CLIENT_BIN, "open", "0:0"});
    EXPECT_EQ(r.out, "open ok\n") << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(exists(deep + "/eeprom"));
}

// The default folder is cardsim's own: its missing parents are made, and said.
TEST_F(LauncherRefusalTest, DefaultStateFolderMakesItsParents)
{
    const std::string home = dir + "/home";
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    auto r = testsupport::run({CARDSIM_BIN, "--", CLIENT_BIN, "open", "0:0"},
                              {"HOME=" + home, "XDG_STATE_HOME=", "CARDSIM_STATE="});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "open ok\n");
    EXPECT_EQ(r.err, "cardsim: " + home + "/.local/state does not exist; making it, private, for the state folder " +
                         home + "/.local/state/cardsim\n");
    EXPECT_TRUE(exists(home + "/.local/state/cardsim/eeprom"));
}
