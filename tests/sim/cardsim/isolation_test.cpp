// SPDX-License-Identifier: GPL-2.0-or-later
// No program that cardsim starts reaches a real card, whatever kind of
// program it is and however it opens the device. The tests run cardsim in a
// private /dev (fake_dev) that holds character devices of the DVB major with
// no driver behind them: an open that reaches one fails with ENXIO.
#include "fake_dev_fixture.h"

#include "exec32.h"
#include "program_class.h"

#include <algorithm>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

namespace {

const std::string kNode = "/dev/dvb/adapter0/frontend0";

// The other class's interposer, which scripts/build.sh names (RAVELIN_OTHER_CLASS_PRELOAD).
std::string other_interposer() { return OTHER_CLASS_PRELOAD; }

class IsolationTest : public FakeDevTest {
protected:
    void TearDown() override
    {
        unsetenv("CARDSIM_PRELOAD_32");
        unsetenv("CARDSIM_PRELOAD_64");
        SimTest::TearDown();
    }

    // cardsim with `args` in the private /dev with DVB devices; fake_dev's own options first.
    testsupport::Result in_fake_dev(const std::vector<std::string>& fake_options, const std::vector<std::string>& args,
                                    const std::vector<std::string>& env = {})
    {
        std::vector<std::string> argv{FAKE_DEV_BIN};
        argv.insert(argv.end(), fake_options.begin(), fake_options.end());
        argv.push_back(CARDSIM_BIN);
        argv.insert(argv.end(), args.begin(), args.end());
        return testsupport::run(argv, env);
    }

    testsupport::Result cardsim(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
    {
        std::vector<std::string> full{"--state", dir, "--"};
        full.insert(full.end(), args.begin(), args.end());
        return in_fake_dev({}, full, env);
    }
};

std::string other_probe() { return as_command(PROBE_OTHER_BIN); }

// Under qemu-i386 (a 32-bit cardsim where the kernel runs no 32-bit program)
// a process has threads, and a user namespace needs a process without.
bool user_namespaces_for_cardsim() { return runs_natively(CARDSIM_BIN); }


}  // namespace

// Without cardsim the probe does reach the devices: the test sees a real open.
TEST_F(IsolationTest, WithoutCardsimTheDevicesAreReached)
{
    auto r = testsupport::run({FAKE_DEV_BIN, PROBE_STATIC_BIN, "open", kNode, "syscall", "/dev/char/212:0", "open",
                               "/dev/card0", "list", "/dev/dvb"});
    EXPECT_EQ(r.out, "open " + kNode +
                         " ENXIO\nsyscall /dev/char/212:0 ENXIO\nopen /dev/card0 ENXIO\nlist /dev/dvb: adapter0 "
                         "adapter1\n")
        << r.err;
}

TEST_F(IsolationTest, NoKindOfProgramReachesARealDevice)
{
    // qemu-i386 runs a spawned child as a fork that cannot hand its open's error back: no spawn there.
    const std::string ways = "open " + kNode + " syscall " + kNode + " freopen " + kNode +
                             " open /dev/char/212:0 open /dev/card0 open /dev/dvb/adapter1/frontend0";
    const std::string spawn = " spawn " + kNode;
    // The empty file in the private /dev, read-only; the other names are gone.
    const std::string unserved = "open " + kNode + " EROFS\nsyscall " + kNode + " EROFS\nfreopen " + kNode +
                                 " EROFS\nopen /dev/char/212:0 ENOENT\nopen /dev/card0 ENOENT\nopen "
                                 "/dev/dvb/adapter1/frontend0 ENOENT\n";
    const std::string spawned = "spawn " + kNode + " EROFS\n";
    std::string setgid_probe = dir + ".setgid";
    ASSERT_EQ(testsupport::run({"cp", PROBE_BIN, setgid_probe}).status, 0);
    ASSERT_EQ(chown(setgid_probe.c_str(), 0, 65534), 0);
    ASSERT_EQ(chmod(setgid_probe.c_str(), 02755), 0);

    const struct {
        const char* label;
        std::string program;
        bool static_program;
    } cases[] = {
        {"static", PROBE_STATIC_BIN, true},
        {"static of the other class", PROBE_OTHER_STATIC_BIN, true},
        {"cleared environment", PROBE_BIN, false},
        {"set-group-ID", setgid_probe, false},
        {"other class", PROBE_OTHER_BIN, false},
    };
    for (const auto& c : cases) {
        if (c.program.empty())
            continue;  // no probe of the other class built here
        bool native = runs_natively(c.program);
        if (c.program == setgid_probe && !native)
            continue;  // under qemu-i386 the set-ID bit is not the program's
        std::string command = as_command(c.program) + " " + ways + (native ? spawn : "");
        if (std::string(c.label) == "cleared environment")
            command = "env -i " + command;
        auto r = cardsim({"sh", "-c", command});
        std::string expected = unserved + (native ? spawned : "");
        // both interposers known (the other given for sh): the other class's open is served as well
        const char* other_override = sizeof(void*) == 8 ? "CARDSIM_PRELOAD_32" : "CARDSIM_PRELOAD_64";
        if (c.program == std::string(PROBE_OTHER_BIN) && getenv(other_override))
            expected.replace(0, expected.find('\n'), "open " + kNode + " ok");
        EXPECT_EQ(r.out, expected) << c.label << "\n" << r.err;
        EXPECT_EQ(r.status, 0) << c.label << "\n" << r.err;
    }

    // With the interposer, open is served; the calls past it meet the empty file.
    auto r = cardsim({PROBE_BIN, "open", kNode, "syscall", kNode, "open", "/dev/card0"});
    EXPECT_EQ(r.out, "open " + kNode + " ok\nsyscall " + kNode + " EROFS\nopen /dev/card0 ENOENT\n") << r.err;
    remove(setgid_probe.c_str());
}

TEST_F(IsolationTest, ChildOfTheOtherClassIsServedWhenBothInterposersAreKnown)
{
    SKIP_WITHOUT_OTHER_CLASS_PROBES();
    if (cardsim::elf_bits(other_interposer()) == 0)
        GTEST_SKIP() << "needs the interposer of the other class (" << other_interposer() << "): build that tree";
    std::string env = std::string(sizeof(void*) == 8 ? "CARDSIM_PRELOAD_32=" : "CARDSIM_PRELOAD_64=") +
                      other_interposer();
    auto r = cardsim({"sh", "-c", other_probe() + " open " + kNode + " syscall " + kNode}, {env});
    EXPECT_EQ(r.out, "open " + kNode + " ok\nsyscall " + kNode + " EROFS\n") << r.err;
}

TEST_F(IsolationTest, DvbFolderListsExactlyTheSimulatedNodes)
{
    for (const auto& probe : {std::string(PROBE_BIN), std::string(PROBE_STATIC_BIN)}) {
        auto r = in_fake_dev({}, {"--state", dir, "--node", "0:0", "--node", "3:2", "--node", "3:0", "--", probe,
                                  "list", "/dev/dvb", "list", "/dev/dvb/adapter3", "list", "/dev/dvb/adapter0",
                                  "list", "/dev/char"});
        EXPECT_EQ(r.out,
                  "list /dev/dvb: adapter0 adapter3\nlist /dev/dvb/adapter3: frontend0 frontend2\n"
                  "list /dev/dvb/adapter0: frontend0\nlist /dev/char: 1:3\n")
            << r.err;
    }
    auto r = cardsim({"sh", "-c", "ls /dev/dvb /dev/dvb/adapter0 && ls /dev | grep -c . && echo x > /dev/null"});
    EXPECT_EQ(r.out, "/dev/dvb:\nadapter0\n\n/dev/dvb/adapter0:\nfrontend0\n7\n") << r.err;
    EXPECT_EQ(r.status, 0);
}

// find opens each folder (openat with O_DIRECTORY) and finds the simulated nodes only.
TEST_F(IsolationTest, FindInDvbFindsExactlyTheSimulatedNodes)
{
    auto sorted = [](const std::string& text) {
        std::vector<std::string> lines;
        for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
            lines.push_back(text.substr(at, end - at + 1));
        std::sort(lines.begin(), lines.end());
        std::string out;
        for (const auto& line : lines)
            out += line;
        return out;
    };
    auto r = cardsim({"find", "/dev/dvb"});
    EXPECT_EQ(r.out, "/dev/dvb\n/dev/dvb/adapter0\n/dev/dvb/adapter0/frontend0\n") << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    r = in_fake_dev({}, {"--state", dir, "--node", "2:1", "--node", "0:0", "--", "find", "/dev/dvb"});
    EXPECT_EQ(sorted(r.out), "/dev/dvb\n/dev/dvb/adapter0\n/dev/dvb/adapter0/frontend0\n/dev/dvb/adapter2\n"
                             "/dev/dvb/adapter2/frontend1\n")
        << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);

    // Without the private /dev, find lists the real folder, which opens no
    // device; every open that is not of a folder still fails or is served.
    r = in_fake_dev({}, {"--state", dir, "--no-isolation", "--", "sh", "-c",
                         "find /dev/dvb; " + as_command(PROBE_BIN) +
                             " folder /dev/dvb folder /dev/dvb/adapter1 folder /dev/dvb/adapter0/demux0 folder "
                             "/dev/dvb/adapter1/frontend0 folder /dev/char/212:0 folder /dev/card0 folder "
                             "/dev/dvb/adapter0/frontend0/.. folder " + kNode + " open /dev/dvb/adapter0"});
    std::string listing = r.out.substr(0, r.out.find("folder "));
    EXPECT_EQ(sorted(listing), "/dev/dvb\n/dev/dvb/adapter0\n/dev/dvb/adapter0/demux0\n/dev/dvb/adapter0/frontend0\n"
                               "/dev/dvb/adapter1\n/dev/dvb/adapter1/frontend0\n")
        << r.out << r.err;
    EXPECT_EQ(r.out.substr(listing.size()),
              "folder /dev/dvb ok\nfolder /dev/dvb/adapter1 ok\nfolder /dev/dvb/adapter0/demux0 ENOENT\n"
              "folder /dev/dvb/adapter1/frontend0 ENOENT\nfolder /dev/char/212:0 ENOENT\nfolder /dev/card0 ENOENT\n"
              "folder /dev/dvb/adapter0/frontend0/.. ENOENT\nfolder " + kNode + " ok\nopen /dev/dvb/adapter0 ENOENT\n")
        << r.err;
}

// A DVB device copied with mknod into some folder outside /dev opens nothing.
TEST_F(IsolationTest, DeviceCopiesOutsideDevOpenNothing)
{
    std::string copy = dir + ".node";
    ASSERT_EQ(mknod(copy.c_str(), S_IFCHR | 0666, makedev(212, 0)), 0) << strerror(errno);
    auto r = testsupport::run({FAKE_DEV_BIN, PROBE_STATIC_BIN, "open", copy});
    EXPECT_EQ(r.out, "open " + copy + " ENXIO\n") << r.err;
    r = cardsim({PROBE_STATIC_BIN, "open", copy, "open", "/dev/null"});
    EXPECT_EQ(r.out, "open " + copy + " EACCES\nopen /dev/null ok\n") << r.err;
    if (!user_namespaces_for_cardsim() || !nobody_reaches({CARDSIM_BIN, PROBE_STATIC_BIN}))
        return;  // as OrdinaryUserIsIsolatedAsWell says
    std::string card = dir + "/card";
    ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
    r = in_fake_dev({"--as-nobody"}, {"--state", card, "--", PROBE_STATIC_BIN, "open", copy, "open", "/dev/null"});
    EXPECT_EQ(r.out, "open " + copy + " EACCES\nopen /dev/null ok\n") << r.err;
    remove(copy.c_str());
}

// An ordinary user gets a user namespace of their own, mapping only their ids.
TEST_F(IsolationTest, OrdinaryUserIsIsolatedAsWell)
{
    if (!user_namespaces_for_cardsim())
        GTEST_SKIP() << "cardsim runs through qemu-i386 here, and a user namespace needs a process without threads";
    if (!nobody_reaches({CARDSIM_BIN, PROBE_STATIC_BIN}))
        GTEST_SKIP() << "the user nobody cannot reach this tree's programs (a folder on their path is private)";
    std::string card = dir + "/card";
    ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
    auto r = in_fake_dev({"--as-nobody"}, {"--state", card, "--", "sh", "-c",
                                           as_command(PROBE_STATIC_BIN) + " open " + kNode +
                                               " open /dev/card0 list /dev/dvb; " + as_command(PROBE_BIN) +
                                               " open " + kNode + "; id -u"});
    EXPECT_EQ(r.out, "open " + kNode + " EROFS\nopen /dev/card0 ENOENT\nlist /dev/dvb: adapter0\nopen " + kNode +
                         " ok\n65534\n")
        << r.err;
    // and without cardsim, the same user reaches the device
    r = testsupport::run({FAKE_DEV_BIN, "--as-nobody", PROBE_STATIC_BIN, "open", kNode});
    EXPECT_EQ(r.out, "open " + kNode + " ENXIO\n");
}

TEST_F(IsolationTest, CurrentFolderInDevIsTheNewOne)
{
    const std::string cardsim = as_command(CARDSIM_BIN);
    auto r = testsupport::run({FAKE_DEV_BIN, "sh", "-c",
                               "cd /dev/dvb/adapter0 && exec " + cardsim + " --state \"$0\" -- \"$1\" open frontend0",
                               dir, PROBE_STATIC_BIN});
    EXPECT_EQ(r.out, "open frontend0 EROFS\n") << r.err;
    r = testsupport::run({FAKE_DEV_BIN, "sh", "-c",
                          "cd /dev/dvb/adapter1 && exec " + cardsim + " --state \"$0\" -- \"$1\" open frontend0", dir,
                          PROBE_STATIC_BIN});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("cardsim: the current folder /dev/dvb/adapter1 is not in the private /dev"),
              std::string::npos)
        << r.err;
}

// Where namespaces are forbidden, cardsim says what is not covered and
// refuses the programs that no interposer reaches.
TEST_F(IsolationTest, WithoutNamespacesUninterposableCommandsAreRefused)
{
    const std::string warning_start = "cardsim: warning: COMMAND runs without a private /dev (";
    std::string card = dir + "/card", trace = dir + "/trace";
    std::string setgid_probe = dir + ".setgid", script = dir + ".script";
    ASSERT_EQ(testsupport::run({"cp", PROBE_BIN, setgid_probe}).status, 0);
    ASSERT_EQ(chown(setgid_probe.c_str(), 0, 65534), 0);
    ASSERT_EQ(chmod(setgid_probe.c_str(), 02755), 0);
    FILE* f = fopen(script.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "#!%s open\n", PROBE_STATIC_BIN);
    fclose(f);
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);

    const struct {
        std::vector<std::string> fake, options;
        std::string why;
    } modes[] = {
        {{"--no-namespaces"}, {}, "the system does not allow it: "},
        {{}, {"--no-isolation"}, "--no-isolation)"},
    };
    for (const auto& mode : modes) {
        const struct {
            std::string program, reason;
        } refused[] = {
            {PROBE_STATIC_BIN, std::string(PROBE_STATIC_BIN) + " is statically linked, so no interposer is loaded into it"},
            {setgid_probe, setgid_probe + " is set-group-ID, so the loader ignores LD_PRELOAD for it"},
            {script, script + "'s interpreter " + PROBE_STATIC_BIN +
                         " is statically linked, so no interposer is loaded into it"},
        };
        for (const auto& c : refused) {
            std::vector<std::string> args{"--state", card, "--trace", trace};
            args.insert(args.end(), mode.options.begin(), mode.options.end());
            args.insert(args.end(), {"--", c.program, "open", kNode});
            auto r = in_fake_dev(mode.fake, args);
            EXPECT_EQ(r.status, 2) << r.err;
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err.rfind(warning_start + mode.why, 0), 0u) << r.err;
            EXPECT_NE(r.err.find("\ncardsim: refused: " + c.reason +
                                 ", and without a private /dev it would open the real DVB devices\n"),
                      std::string::npos)
                << r.err;
            struct stat st;
            EXPECT_NE(lstat(card.c_str(), &st), 0) << "a refused run made the state folder";
            EXPECT_NE(lstat(trace.c_str(), &st), 0) << "a refused run made the trace";
        }
        // a program that loads the interposer runs, after the warning, once
        std::vector<std::string> args{"--state", card};
        args.insert(args.end(), mode.options.begin(), mode.options.end());
        args.insert(args.end(), {"--", "sh", "-c", as_command(PROBE_BIN) + " open " + kNode + "; " +
                                                     as_command(PROBE_BIN) + " open /dev/card0"});
        auto r = in_fake_dev(mode.fake, args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "open " + kNode + " ok\nopen /dev/card0 ENOENT\n") << r.err;
        EXPECT_EQ(r.err.rfind(warning_start + mode.why, 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        ASSERT_EQ(testsupport::run({"rm", "-r", card}).status, 0);
    }
    remove(setgid_probe.c_str());
    remove(script.c_str());
}

// Without namespaces, both interposers are preloaded per class for any COMMAND.
TEST_F(IsolationTest, WithoutNamespacesEveryClassGetsItsInterposer)
{
    SKIP_WITHOUT_OTHER_CLASS_PROBES();
    if (cardsim::elf_bits(other_interposer()) == 0)
        GTEST_SKIP() << "needs the interposer of the other class (" << other_interposer() << "): build that tree";
    std::string env = std::string(sizeof(void*) == 8 ? "CARDSIM_PRELOAD_32=" : "CARDSIM_PRELOAD_64=") +
                      other_interposer();
    // COMMAND (the shell) of this tree's class, whose child is of the other
    auto r = in_fake_dev({"--no-namespaces"},
                    {"--state", dir, "--", "sh", "-c", "echo \"$LD_PRELOAD\"; " + other_probe() + " open " + kNode},
                    {env});
    EXPECT_NE(r.out.find("/$LIB/libcardsim.so"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("open " + kNode + " ok\n"), std::string::npos) << r.out << r.err;
}

// Without real DVB devices there is nothing to warn about.
TEST_F(IsolationTest, NoWarningWhereNoRealDevicesExist)
{
    auto r = testsupport::run({"unshare", "-m", "sh", "-c",
                               "mount -t tmpfs none /dev && mknod -m 666 /dev/null c 1 3 && exec " +
                                   as_command(CARDSIM_BIN) + " --state \"$0\" --no-isolation -- \"$1\" open /dev/null",
                               dir, PROBE_STATIC_BIN});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "open /dev/null ok\n");
    EXPECT_EQ(r.err, "");
}
