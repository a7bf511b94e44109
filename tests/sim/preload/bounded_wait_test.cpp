// SPDX-License-Identifier: GPL-2.0-or-later
// No wait without end: a lock holder that never lets go, a signal handler that
// calls into the card its thread is inside, threads that start together, and a
// node inherited across exec and used at once.
#include "sim_fixture.h"

#include "config.h"
#include "exec32.h"
#include "kernel_runs.h"

#include <csignal>
#include <sys/file.h>
#include <sys/wait.h>

using namespace cardio;

namespace {

class BoundedWaitTest : public SimTest {
protected:
    void TearDown() override
    {
        if (holder > 0) {
            kill(holder, SIGKILL);
            waitpid(holder, nullptr, 0);
        }
        SimTest::TearDown();
    }

    // A program that takes the card's lock and stops itself, as with Ctrl-Z.
    // Returns once it holds the lock and is stopped: it said so through a pipe.
    void stopped_holder()
    {
        int pipe_fds[2];
        ASSERT_EQ(pipe(pipe_fds), 0);
        std::string lock = dir + "/eeprom.lock";
        holder = fork();
        ASSERT_GE(holder, 0);
        if (holder == 0) {
            dup2(pipe_fds[1], 1);
            char* argv[] = {const_cast<char*>(PRELOAD_CLIENT_BIN), const_cast<char*>("hold"), lock.data(), nullptr};
            cardsim::exec_program(PRELOAD_CLIENT_BIN, argv);
            _exit(127);
        }
        close(pipe_fds[1]);
        char said[8] = {};
        ssize_t n = read(pipe_fds[0], said, sizeof said - 1);
        close(pipe_fds[0]);
        ASSERT_EQ(std::string(said, n > 0 ? size_t(n) : 0), "held\n");
        int status = 0;
        ASSERT_EQ(waitpid(holder, &status, WUNTRACED), holder);
        ASSERT_TRUE(WIFSTOPPED(status));
    }

    std::string held_line(pid_t pid) const
    {
        return "cardsim: the card's lock " + dir + "/eeprom.lock is held by process " + std::to_string(pid) +
               " and was not released within 0.050 s: the request fails (is that program stopped, with Ctrl-Z or in "
               "a debugger?)\n";
    }

    // cardsim under timeout, so that a deadlock fails the test; timeout cannot start a program that needs qemu.
    std::vector<std::string> bounded(std::vector<std::string> argv)
    {
        if (kernel_runs(CARDSIM_BIN))
            argv.insert(argv.begin(), {"timeout", "60"});
        return argv;
    }

    pid_t holder = -1;
};

// What register 0x48 reads with the default signal.
std::string format_word_text() { return cardsim::format_word(cardsim::format_word(cardsim::input_signal{})); }

}  // namespace

TEST_F(BoundedWaitTest, StoppedLockHolderFailsRequestsAndResetWithItsPid)
{
    start({"CARDSIM_LOCK_WAIT=0.05"});
    ASSERT_EQ(store(96, 'a'), 0);
    stopped_holder();

    testing::internal::CaptureStderr();
    EXPECT_EQ(store(97, 'b'), EIO);
    EXPECT_EQ(reg_write(fd, 0x48, 1), EIO);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), held_line(holder));

    auto r = testsupport::run({CARDSIM_BIN, "--state", dir, "--reset"}, {"CARDSIM_LOCK_WAIT=0.05"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, held_line(holder));
    r = testsupport::run({CARDSIM_BIN, "--state", dir, "--", CLIENT_BIN, "open", "0:0"}, {"CARDSIM_LOCK_WAIT=0.05"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(file("eeprom").substr(96, 2), std::string("a\0", 2));  // the reset made nothing new

    // the holder gone, the card is served again
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    holder = -1;
    EXPECT_EQ(store(97, 'b'), 0);
    EXPECT_EQ(file("eeprom").substr(96, 2), "ab");
}

// The holder is this process itself, through another descriptor: the line names it.
TEST_F(BoundedWaitTest, HeldLockFailsTheWriteNamingTheLockAndHolder)
{
    start({"CARDSIM_LOCK_WAIT=0.05"});
    int other = open((dir + "/eeprom.lock").c_str(), O_RDWR);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(store(96, 'x'), EIO);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), held_line(getpid()));
    close(other);
    EXPECT_EQ(store(96, 'x'), 0);
    EXPECT_EQ(file("eeprom")[96], 'x');
}

TEST_F(BoundedWaitTest, LockWaitSettingIsChecked)
{
    start({}, false);
    setenv("CARDSIM_LOCK_WAIT", "soon", 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(cardsim_reload(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "cardsim: CARDSIM_LOCK_WAIT: 'soon' is not a time in seconds (e.g. 3 or 0.05, at most 1000000) (no "
              "card is served; every open of /dev/dvb fails with EIO)\n");
}

// The handler runs inside the card's own flock, while its thread holds the card.
TEST_F(BoundedWaitTest, SignalHandlerInsideARequestGetsEintrNotADeadlock)
{
    start({}, false);
    auto r = testsupport::run(bounded({CARDSIM_BIN, "--state", dir, "--", PRELOAD_CLIENT_BIN, "signal", "request"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "outer write ok; inner read EINTR, open EINTR, close 0\nafter " + format_word_text() + " ok\n")
        << r.err;
    EXPECT_EQ(file("registers"), "0x48 0x00000007\n");
}

TEST_F(BoundedWaitTest, SignalHandlerInsideAnOpenGetsEintrNotADeadlock)
{
    start({}, false);
    auto r = testsupport::run(bounded({CARDSIM_BIN, "--state", dir, "--", PRELOAD_CLIENT_BIN, "signal", "open"}));
    EXPECT_EQ(r.status, 0) << r.err;
    // the handler's open is of the card the thread is opening
    EXPECT_EQ(r.out, "outer open ok; inner read none, open EINTR, close 0\nafter " + format_word_text() + " ok\n")
        << r.err;
}

// One thread's first fopen while others make their first interposed calls, in
// 200 fresh programs (20 where each start goes through qemu, which takes long).
TEST_F(BoundedWaitTest, ThreadsStartingTogetherNeverSeeENOSYS)
{
    start({}, false);
    std::string runs = kernel_runs(PRELOAD_CLIENT_BIN) ? "200" : "20";
    auto r = testsupport::run({CARDSIM_BIN, "--state", dir, "--", PRELOAD_CLIENT_BIN, "race", runs});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "race failures 0 of " + runs + "\n") << r.err;
    EXPECT_EQ(r.err, "");
}

// The program after exec uses the node before anything else: its first request is served.
TEST_F(BoundedWaitTest, NodeInheritedAcrossExecIsServedFromTheFirstRequest)
{
    start({}, false);
    std::string trace = dir + ".trace";
    auto r = testsupport::run({CARDSIM_BIN, "--state", dir, "--trace", trace, "--", PRELOAD_CLIENT_BIN, "inherit"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "inherited " + format_word_text() + "\n") << r.err;
    std::string lines = testsupport::read_file(trace);
    remove(trace.c_str());
    EXPECT_NE(lines.find(" REG_READ 0x48 " + format_word_text() + "\n"), std::string::npos) << lines;
}
