// SPDX-License-Identifier: GPL-2.0-or-later
// The interposer's refusals: a relative state folder, an EEPROM the caller
// cannot use, and memory that runs out inside the interposer. Each fails the
// card's calls with a message, changes nothing and never ends the program.
#include "sim_fixture.h"

#include "config.h"
#include "kernel_runs.h"

#include <sys/stat.h>

namespace {

class InterposerTest : public SimTest {};

}  // namespace

// A relative folder would be another card after the program changes folder.
TEST_F(InterposerTest, RelativeStateFolderIsRefused)
{
    start({}, false);
    std::string cwd = testsupport::make_temp_dir("cwd");
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    setenv("CARDSIM_STATE", "card", 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(cardsim_reload(), -1);
    int node = open("/dev/dvb/adapter0/frontend0", O_RDWR);
    int err = errno;
    std::string said = testing::internal::GetCapturedStderr();
    ASSERT_EQ(chdir(here), 0);
    EXPECT_EQ(node, -1);
    EXPECT_EQ(err, EIO);
    EXPECT_EQ(said, "cardsim: CARDSIM_STATE: 'card' is not an absolute path (it would name another folder once the "
                    "program changes folder); give the full path (no card is served; every open of /dev/dvb fails "
                    "with EIO)\n");
    struct stat st;
    EXPECT_NE(stat((cwd + "/card").c_str(), &st), 0);
}

// std::bad_alloc inside open and ioctl: EIO and one line, and the program goes on.
TEST_F(InterposerTest, ExhaustedMemoryFailsTheCallNotTheProgram)
{
    start({}, false);
    auto r = testsupport::run({CARDSIM_BIN, "--state", dir, "--", PRELOAD_CLIENT_BIN, "oom"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "open EIO\nwrite EIO\nthen " + cardsim::format_word(cardsim::rate_word(cardsim::input_signal{})) +
                         " ok\n");
    EXPECT_EQ(r.err, "cardsim: out of memory inside the simulator: the request fails (EIO)\n");
    struct stat st;
    EXPECT_NE(stat((dir + "/registers").c_str(), &st), 0);
}

// An EEPROM the caller may not read and write: the node's open fails, before any request.
// The client starts natively or through qemu-i386 (as ".qemu" in an i386 tree
// where the kernel runs 32-bit programs).
TEST_F(InterposerTest, EepromTheCallerCannotUseIsRefusedAtOpen)
{
    start({}, false);
    std::string card = dir + "/card";
    auto r = testsupport::run({CARDSIM_BIN, "--state", card, "--reset"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> as_user;
    if (geteuid() == 0) {
        // root reads any file: act as another user, who owns the card and its folder
        if (!nobody_reaches({CLIENT_BIN, PRELOAD_LIB}))
            GTEST_SKIP() << "the user nobody cannot reach this tree's programs (a folder on their path is private)";
        ASSERT_EQ(chmod(dir.c_str(), 0711), 0);
        r = testsupport::run({"chown", "-R", "nobody", card});
        ASSERT_EQ(r.status, 0) << r.err;
        as_user = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
    }
    ASSERT_EQ(chmod((card + "/eeprom").c_str(), 0), 0);
    std::vector<std::string> argv = as_user, env{"CARDSIM_STATE=" + card, "ASAN_OPTIONS=verify_asan_link_order=0"};
    // The interposer goes to the client alone, not to setpriv, which may be of the other class.
    std::string preload = "LD_PRELOAD=" + std::string(PRELOAD_LIB);
    if (kernel_runs(CLIENT_BIN))
        argv.insert(argv.end(), {"env", preload});
    else
        argv.insert(argv.end(), {"qemu-i386", "-E", preload});
    argv.insert(argv.end(), {CLIENT_BIN, "open", "0:0", "eeprom-read", "0", "4"});
    r = testsupport::run(argv, env);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), "open EIO\n") << r.out << r.err;
    EXPECT_EQ(r.err, "cardsim: cannot open " + card +
                         "/eeprom for reading and writing: Permission denied (the card's EEPROM must be yours to "
                         "read and write; chmod u+rw it, or run cardsim --reset)\n");
    struct stat st;
    ASSERT_EQ(stat((card + "/eeprom").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0u);
    EXPECT_EQ(st.st_size, 256);
}
