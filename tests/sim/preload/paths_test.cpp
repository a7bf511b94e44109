// SPDX-License-Identifier: GPL-2.0-or-later
// No open of a DVB path reaches the real system while the interposer is
// loaded: every spelling is the simulated node, or fails.
#include "sim_fixture.h"

#include <cstdio>

using namespace cardio;

// The suite is named after what this file guards.
using FailClosed = SimTest;

namespace {

// The open's result: "node" when it is the simulated card, else its errno's name.
std::string what_open(int dirfd, const char* path)
{
    int fd = dirfd == AT_FDCWD ? open(path, O_RDWR | O_NONBLOCK) : openat(dirfd, path, O_RDWR | O_NONBLOCK);
    if (fd < 0)
        return strerrorname_np(errno);
    uint32_t v = 0;
    std::string result = reg_read(fd, 0x48, v) == 0 && v == 0x38048007 ? "node" : "some other file";
    close(fd);
    return result;
}

// The current folder changed for one scope.
struct Cwd {
    explicit Cwd(const char* dir)
    {
        EXPECT_NE(getcwd(old, sizeof old), nullptr);
        EXPECT_EQ(chdir(dir), 0);
    }
    ~Cwd() { EXPECT_EQ(chdir(old), 0); }
    char old[4096];
};

}  // namespace

TEST_F(FailClosed, EverySpellingOfTheNodeIsTheSimulatedNode)
{
    start({}, false);
    for (const char* path : {"/dev/dvb/adapter0/frontend0", "//dev/dvb/adapter0/frontend0",
                             "/dev/./dvb/adapter0/frontend0", "/dev//dvb///adapter0/./frontend0",
                             "/dev/dvb/../dvb/adapter0/frontend0", "/tmp/../dev/dvb/adapter0/frontend0"})
        EXPECT_EQ(what_open(AT_FDCWD, path), "node") << path;
    {
        Cwd in("/dev");
        EXPECT_EQ(what_open(AT_FDCWD, "dvb/adapter0/frontend0"), "node");
        EXPECT_EQ(what_open(AT_FDCWD, "./dvb/../dvb/adapter0/frontend0"), "node");
    }
    int dev = open("/dev", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dev, 0);
    EXPECT_EQ(what_open(dev, "dvb/adapter0/frontend0"), "node");
    close(dev);
}

TEST_F(FailClosed, OtherDvbPathsFailWithEnoentAndAreTraced)
{
    std::string trace = testsupport::make_temp_dir("trace") + "/trace";
    start({"CARDSIM_TRACE=" + trace}, false);
    for (const char* path : {"/dev/dvb/adapter1000/frontend0", "/dev/dvb/adapter-1/frontend0",
                             "/dev/dvb/adapter01/frontend0", "/dev/dvb/adapter0/demux0", "/dev/dvb/adapter0",
                             "/dev/dvb", "//dev/./dvb/adapter0/frontend1"})
        EXPECT_EQ(what_open(AT_FDCWD, path), "ENOENT") << path;
    FILE* f = fopen("/dev/dvb/adapter1000/frontend0", "r+");
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(errno, ENOENT);
    std::string text = testsupport::read_file(trace);
    EXPECT_NE(text.find("0.000000000 OPEN /dev/dvb/adapter1000/frontend0 ENOENT\n"), std::string::npos) << text;
    EXPECT_NE(text.find("0.000000000 OPEN /dev/dvb/adapter-1/frontend0 ENOENT\n"), std::string::npos) << text;
    remove(trace.c_str());
    rmdir(trace.substr(0, trace.rfind('/')).c_str());
}

TEST_F(FailClosed, FopenOfTheNodeIsTheNode)
{
    start({}, false);
    FILE* f = fopen("/dev/dvb/adapter0/frontend0", "r+");
    ASSERT_NE(f, nullptr);
    uint32_t v = 0;
    EXPECT_EQ(reg_read(fileno(f), 0x4c, v), 0);
    EXPECT_EQ(v, 0x13cu);
    fclose(f);
}

TEST_F(FailClosed, MalformedSettingFailsEveryDvbOpenWithEioAfterItsMessage)
{
    start({}, false);
    setenv("CARDSIM_FAULTS", "busy=soon", 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(cardsim_reload(), -1);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.rfind("cardsim: CARDSIM_FAULTS: fault 'busy' needs =N", 0), 0u) << said;
    EXPECT_NE(said.find("every open of /dev/dvb fails with EIO"), std::string::npos) << said;
    for (const char* path : {"/dev/dvb/adapter0/frontend0", "/dev/dvb/adapter7/frontend3", "//dev/dvb/x"})
        EXPECT_EQ(what_open(AT_FDCWD, path), "EIO") << path;
}

TEST_F(FailClosed, WithoutAStateFolderDvbOpensFailWithEnoent)
{
    start({}, false);
    unsetenv("CARDSIM_STATE");
    testing::internal::CaptureStderr();
    EXPECT_EQ(cardsim_reload(), -1);
    EXPECT_EQ(what_open(AT_FDCWD, "/dev/dvb/adapter0/frontend0"), "ENOENT");
    EXPECT_EQ(what_open(AT_FDCWD, "/dev/dvb/adapter0/frontend0"), "ENOENT");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "cardsim: CARDSIM_STATE is not set: no card is simulated, and /dev/dvb is not opened\n");
}

TEST_F(FailClosed, PathsOutsideDvbStillReachTheSystem)
{
    start({}, false);
    EXPECT_EQ(what_open(AT_FDCWD, "/dev/null"), "some other file");
    EXPECT_EQ(what_open(AT_FDCWD, "/no/such/dvb/adapter0/frontend0"), "ENOENT");
    int fd = open(("/" + dir + "/../" + dir.substr(dir.rfind('/') + 1) + "/new").c_str(), O_CREAT | O_RDWR, 0600);
    EXPECT_GE(fd, 0) << strerror(errno);
    close(fd);
    remove((dir + "/new").c_str());
}

// A program run by cardsim with a node number that the model does not list.
TEST_F(FailClosed, UnlistedNodesOfAChildFailWithoutReachingTheSystem)
{
    start({}, false);
    auto r = testsupport::run({CARDSIM_BIN, "--state", dir, "--", CLIENT_BIN, "openpath",
                               "/dev/dvb/adapter1000/frontend0", "openpath", "/dev/./dvb/adapter0/frontend0"});
    EXPECT_EQ(r.out, "openpath ENOENT\nopenpath ok\n") << r.err;
}
