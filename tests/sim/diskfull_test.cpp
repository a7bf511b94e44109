// SPDX-License-Identifier: GPL-2.0-or-later
// A file that cardsim writes on a full or read-only file system: the failure
// is said, naming the file and the errno, and cardsim's exit is not 0; a
// refusal gives the advice that fits the errno. Each runs as root and as an
// ordinary user (setpriv), where this machine lets the test switch users.
#include "sim_fixture.h"

#include "program_class.h"

#include <sys/stat.h>

namespace {

class DiskFull : public SimTest {
protected:
    void SetUp() override
    {
        unsetenv("CARDSIM_PRELOAD_32");
        unsetenv("CARDSIM_PRELOAD_64");
        start({}, false);
    }

    // The argument vectors that run cardsim as root (or whoever runs the
    // tests) and, where possible, as nobody, who then owns the folder.
    std::vector<std::vector<std::string>> as_users()
    {
        std::vector<std::vector<std::string>> users{as_argv(CARDSIM_BIN)};
        if (geteuid() == 0 && runs_natively(CARDSIM_BIN) && nobody_reaches({CARDSIM_BIN, CLIENT_BIN})) {
            EXPECT_EQ(chown(dir.c_str(), 65534, 65534), 0);
            users.push_back({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", CARDSIM_BIN});
        } else {
            std::cout << "[ SKIPPED  ] as another user: not root here, or nobody cannot reach this tree\n";
        }
        return users;
    }
};

const char lost_trace[] =
    "cardsim: cannot write the trace file /dev/full: No space left on device (ENOSPC); the trace misses lines "
    "from here on\ncardsim: the simulator could not write a file (the messages above name it)\n";

}  // namespace

// A trace on a full file system was silently empty, and the run succeeded.
TEST_F(DiskFull, TraceOnAFullFileSystemIsSaidAndFailsTheRun)
{
    for (const auto& cardsim : as_users()) {
        std::string who = cardsim[0];
        std::vector<std::string> argv = cardsim;
        argv.insert(argv.end(), {"--state", dir + "/card-" + std::to_string(argv.size()), "--trace", "/dev/full",
                                 "--", CLIENT_BIN, "open", "0:0", "rr", "0x48", "rr", "0x4c"});
        auto r = testsupport::run(argv);
        EXPECT_EQ(r.out, "open ok\nrr 0x38048007\nrr 0x0000013c\n") << who << r.err;
        EXPECT_EQ(r.err, lost_trace) << who;  // once, however many lines were lost
        EXPECT_EQ(r.status, 1) << who;
        // a COMMAND that fails keeps its own status
        argv.insert(argv.end(), {"exit", "3"});
        r = testsupport::run(argv);
        EXPECT_EQ(r.err, lost_trace) << who;
        EXPECT_EQ(r.status, 3) << who;
    }
}

// faccessat's EROFS was taken for a mode that forbids writing.
TEST_F(DiskFull, ReadOnlyStateFolderIsCalledSo)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, for a read-only mount in a mount namespace of its own";
    std::string card = dir + "/card";
    ASSERT_EQ(mkdir(card.c_str(), 0700), 0);
    for (const auto& cardsim : as_users()) {
        std::string who = cardsim[0];
        ASSERT_EQ(chown(card.c_str(), who == "setpriv" ? 65534 : 0, who == "setpriv" ? 65534 : 0), 0);
        std::string command;
        for (const auto& word : cardsim)
            command += word + " ";
        // the folder made read-only in a mount namespace of the test's own
        std::string ro = "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\" && ";
        auto r = testsupport::run({"unshare", "-m", "sh", "-c", ro + "exec " + command + "--state \"$0\" -- true", card});
        EXPECT_EQ(r.status, 2) << who << r.err;
        EXPECT_EQ(r.err, "cardsim: cannot use the state folder " + card +
                             ": Read-only file system (EROFS): the file system is mounted read-only; remount it "
                             "read-write, or use a folder on another\n")
            << who;
        // reading needs no writing
        r = testsupport::run({"unshare", "-m", "sh", "-c", ro + "exec " + command + "--state \"$0\" --show", card});
        EXPECT_EQ(r.status, 0) << who << r.err;
        EXPECT_EQ(testsupport::run({"find", card, "-mindepth", "1"}).out, "") << who << ": the refusal made something";
    }
}

// The note of an access the card does not know (the state folder's
// `unknown`) on a full file system was dropped without a word.
TEST_F(DiskFull, NoteOnAFullFileSystemIsSaidAndFailsTheRun)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, for a small tmpfs in a mount namespace of its own";
    for (const auto& cardsim : as_users()) {
        std::string who = cardsim[0];
        std::string command;
        for (const auto& word : cardsim)
            command += word + " ";
        // a card made on a small tmpfs, which a file then fills
        std::string owner = who == "setpriv" ? "65534" : "0";
        std::string full = "mount -t tmpfs -o size=64k,mode=0755 none \"$0\" && mkdir -m 700 \"$0/card\" && chown " +
                           owner + " \"$0/card\" && " + command + "--state \"$0/card\" --reset && " +
                           "{ cat /dev/zero > \"$0/fill\" 2>/dev/null; true; } && exec " + command +
                           "--state \"$0/card\" -- \"$1\" open 0:0 rr 0x50 rr 0x48";
        auto r = testsupport::run({"unshare", "-m", "sh", "-c", full, dir, CLIENT_BIN});
        EXPECT_EQ(r.out, "open ok\nrr 0x00000000\nrr 0x38048007\n") << who << r.err;
        EXPECT_EQ(r.err, "cardsim: cannot write " + dir +
                             "/card/unknown: No space left on device\ncardsim: the simulator could not write a file "
                             "(the messages above name it)\n")
            << who;
        EXPECT_EQ(r.status, 1) << who;
    }
}

// A program that puts a file of its own at the trace's descriptor number
// (dup2, a shell's exec 3>file) got the trace's lines written into that file,
// or lost them with EBADF; the trace is opened again instead.
TEST_F(DiskFull, TraceDescriptorTakenByTheProgramIsNotWrittenInto)
{
    std::string where = testsupport::make_temp_dir("trace");
    std::string trace = where + "/trace", mine = where + "/mine";
    start({"CARDSIM_TRACE=" + trace});
    reg(0x48);
    int trace_fd = -1;
    for (int fd = 3; fd < 1024 && trace_fd < 0; ++fd) {
        char link[4096];
        ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1);
        if (n > 0 && std::string(link, size_t(n)) == trace)
            trace_fd = fd;
    }
    ASSERT_GE(trace_fd, 0) << "the interposer keeps the trace open";
    int own = open(mine.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(own, 0);
    ASSERT_EQ(dup2(own, trace_fd), trace_fd);
    testing::internal::CaptureStderr();
    reg(0x4c);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    close(trace_fd);
    close(own);
    EXPECT_EQ(testsupport::read_file(mine), "");
    std::string text = testsupport::read_file(trace);
    EXPECT_NE(text.find(" REG_READ 0x4c 0x0000013c\n"), std::string::npos) << text;
    testsupport::clear_card_settings();
    cardsim_reload();  // the trace closed before its folder goes
    remove(trace.c_str());
    remove(mine.c_str());
    rmdir(where.c_str());
}
