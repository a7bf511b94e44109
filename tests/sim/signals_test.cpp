// SPDX-License-Identifier: GPL-2.0-or-later
// A SIGTERM, SIGINT or SIGHUP to cardsim reaches COMMAND and what it started,
// and cardsim leaves nothing in TMPDIR: it ends by the same signal.
#include "sim_fixture.h"

#include "exec32.h"
#include "program_class.h"

#include <csignal>
#include <dirent.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

// Whether the process has ended: gone, or a zombie that its new parent has not reaped.
bool ended(pid_t pid)
{
    std::string stat = testsupport::read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return stat.empty() || (paren != std::string::npos && stat.compare(paren, 3, ") Z") == 0);
}

// Whether reading `fd` meets its end: bounded by far more than a process
// takes to end, so that a failing test does not hang.
bool reaches_end(int fd)
{
    char buf[256];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20000) != 1)
            return false;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

std::vector<std::string> entries(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

class Signals : public SimTest {
protected:
    void SetUp() override
    {
        start({}, false);
        tmp = dir + "/tmp";
        ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
        // cardsim makes a folder of interposer links in TMPDIR for both
        // classes' interposers, or for one from a folder whose path the loader
        // would split.
        const bool wide = sizeof(void*) == 8;
        std::string own = PRELOAD_LIB;
        bool other = cardsim::elf_bits(OTHER_CLASS_PRELOAD) != 0;
        if (!other) {
            std::string split = dir + "/my build";
            ASSERT_EQ(mkdir(split.c_str(), 0700), 0);
            own = split + "/libcardsim.so";
            ASSERT_EQ(testsupport::run({"cp", PRELOAD_LIB, own}).status, 0);
        }
        env = {std::string(wide ? "CARDSIM_PRELOAD_64=" : "CARDSIM_PRELOAD_32=") + own, "TMPDIR=" + tmp};
        if (other)
            env.push_back(std::string(wide ? "CARDSIM_PRELOAD_32=" : "CARDSIM_PRELOAD_64=") + OTHER_CLASS_PRELOAD);
        // sh and cat are the machine's: of the other class they need that class's interposer.
        else if (cardsim::elf_bits("/bin/sh") != int(sizeof(void*) * 8))
            GTEST_SKIP() << "/bin/sh is of the other class, whose interposer (" << OTHER_CLASS_PRELOAD
                         << ") is not built";
    }

    void TearDown() override
    {
        for (pid_t pid : left)
            if (pid > 0 && !ended(pid))
                kill(pid, SIGKILL);
        SimTest::TearDown();
    }

    std::string tmp;
    std::vector<std::string> env;
    std::vector<pid_t> left;  // what a failing test would leave running
};

}  // namespace

// COMMAND (sh, then cat) and a program it started (another cat) wait for
// input that never comes; cardsim gets the signal once they have said
// their process ids.
TEST_F(Signals, EndCommandAndItsChildrenAndLeaveNothingInTmpdir)
{
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        int in[2], out[2];
        ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        std::vector<std::string> argv = as_argv(CARDSIM_BIN);
        argv.insert(argv.end(), {"--state", dir + "/card", "--", "sh", "-c", "exec 3<&0; cat <&3 & echo $$ $!; exec cat"});
        pid_t cardsim = fork();
        ASSERT_GE(cardsim, 0);
        if (cardsim == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            for (const auto& e : env)
                putenv(strdup(e.c_str()));
            std::vector<char*> args;
            for (auto& a : argv)
                args.push_back(a.data());
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        char text[64] = {};
        ssize_t n = 0;
        for (ssize_t got; n < ssize_t(sizeof text) - 1 && !memchr(text, '\n', size_t(n)) &&
                          (got = read(out[0], text + n, sizeof text - 1 - size_t(n))) > 0;)
            n += got;
        pid_t command = 0, child = 0;
        ASSERT_EQ(sscanf(text, "%d %d", &command, &child), 2) << text;
        left = {command, child};
        ASSERT_EQ(entries(tmp).size(), 1u) << "the folder of interposer links";

        ASSERT_EQ(kill(cardsim, sig), 0);
        int status = 0;
        ASSERT_EQ(waitpid(cardsim, &status, 0), cardsim);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status;
        EXPECT_TRUE(ended(command)) << "COMMAND " << command << " still runs";
        // The child is ending when the last copy of the pipe's write end,
        // its standard output, is closed. A shell's background job ignores
        // SIGINT, as shells make it: that one is ended here.
        if (sig == SIGINT)
            kill(child, SIGKILL);
        EXPECT_TRUE(reaches_end(out[0])) << "COMMAND's child " << child << " still runs";
        EXPECT_EQ(entries(tmp), std::vector<std::string>{}) << "left in TMPDIR";
        close(in[1]);
        close(out[0]);
    }
}

// The exit status as a shell sees it: 128 + signal.
TEST_F(Signals, ShellSeesTheSignalsStatus)
{
    std::vector<std::string> argv{"sh", "-c", "\"$@\" & echo $! > " + dir + "/pid; wait $!; echo $?", "sh"};
    std::vector<std::string> cardsim = as_argv(CARDSIM_BIN);
    argv.insert(argv.end(), cardsim.begin(), cardsim.end());
    // COMMAND sends the signal to cardsim itself, once it runs: no wait for a signal that came before
    argv.insert(argv.end(), {"--state", dir + "/card", "--", "sh", "-c", "kill -TERM $(cat " + dir + "/pid); exec cat"});
    auto r = testsupport::run(argv, env, "");
    EXPECT_EQ(r.out, "143\n") << r.err;
    EXPECT_EQ(entries(tmp), std::vector<std::string>{});
}
