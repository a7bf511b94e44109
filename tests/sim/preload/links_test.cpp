// SPDX-License-Identifier: GPL-2.0-or-later
// A node's descriptor is its lock file; its link in /proc reads as the node,
// as a device's would, and no other link is touched.
#include "sim_fixture.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

// The suite is named after this file, so that a failing test leads to it.
using DescriptorLinks = SimTest;

namespace {

const std::string node = "/dev/dvb/adapter0/frontend0";

std::string link_text(int dirfd, const std::string& path, std::size_t size = 4096)
{
    std::string buf(size, '\0');
    const ssize_t n = dirfd == AT_FDCWD ? readlink(path.c_str(), buf.data(), size)
                                        : readlinkat(dirfd, path.c_str(), buf.data(), size);
    return n < 0 ? std::string("error ") + strerrorname_np(errno) : buf.substr(0, std::size_t(n));
}

// What the system itself says, past the interposer.
std::string raw_link(const std::string& path)
{
    char buf[4096];
    const long n = syscall(SYS_readlinkat, AT_FDCWD, path.c_str(), buf, sizeof buf);
    return n < 0 ? "" : std::string(buf, std::size_t(n));
}

}  // namespace

TEST_F(DescriptorLinks, NodeDescriptorReadsAsTheNodeEveryWay)
{
    start();
    const std::string fd_name = std::to_string(fd), self = "/proc/self/fd/" + fd_name;
    const std::string lock = raw_link(self);
    ASSERT_EQ(lock, dir + "/adapter0-frontend0.lock") << "the descriptor is the node's lock file";

    EXPECT_EQ(link_text(AT_FDCWD, self), node);
    EXPECT_EQ(link_text(AT_FDCWD, "/proc/" + std::to_string(getpid()) + "/fd/" + fd_name), node);
    EXPECT_EQ(link_text(AT_FDCWD, "/proc/self/task/" + std::to_string(gettid()) + "/fd/" + fd_name), node);
    EXPECT_EQ(link_text(AT_FDCWD, "/dev/fd/" + fd_name), node);
    // relative to a folder descriptor, and to the current folder
    const int fds = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fds, 0);
    EXPECT_EQ(link_text(fds, fd_name), node);
    close(fds);
    {
        char old[4096];
        ASSERT_NE(getcwd(old, sizeof old), nullptr);
        ASSERT_EQ(chdir("/proc/self/fd"), 0);
        EXPECT_EQ(link_text(AT_FDCWD, fd_name), node);
        ASSERT_EQ(chdir(old), 0);
    }
    // cut at the buffer's size, without a NUL, as readlink cuts
    EXPECT_EQ(link_text(AT_FDCWD, self, 8), node.substr(0, 8));
    // a read-only open is shown the same way
    const int ro = open(node.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(ro, 0);
    EXPECT_EQ(link_text(AT_FDCWD, "/proc/self/fd/" + std::to_string(ro)), node);
    close(ro);
}

TEST_F(DescriptorLinks, EveryOtherLinkReadsAsItIs)
{
    start();
    const std::string lock = dir + "/adapter0-frontend0.lock";
    // a link the program made to the lock file is not a descriptor's
    const std::string own = dir + "/mine";
    ASSERT_EQ(symlink(lock.c_str(), own.c_str()), 0);
    EXPECT_EQ(link_text(AT_FDCWD, own), lock);
    // nor one that looks like it by name, outside /proc
    ASSERT_EQ(mkdir((dir + "/fd").c_str(), 0700), 0);
    ASSERT_EQ(symlink(lock.c_str(), (dir + "/fd/3").c_str()), 0);
    EXPECT_EQ(link_text(AT_FDCWD, dir + "/fd/3"), lock);
    // the lock file opened as a file is a file
    const int plain = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(plain, 0);
    EXPECT_EQ(link_text(AT_FDCWD, "/proc/self/fd/" + std::to_string(plain)), lock);
    close(plain);
    // any other descriptor, and what is no link
    const int other = open(own.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_EQ(link_text(AT_FDCWD, "/proc/self/fd/" + std::to_string(other)), lock) << "opened through the link";
    close(other);
    EXPECT_EQ(link_text(AT_FDCWD, "/proc/self/fd/9999"), "error ENOENT");
    EXPECT_EQ(link_text(AT_FDCWD, dir), "error EINVAL");
    // a lock file's name in another folder is no node of this run
    const std::string elsewhere = testsupport::make_temp_dir("links");
    const std::string stranger = elsewhere + "/adapter0-frontend0.lock";
    const int s = open(stranger.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(s, 0);
    EXPECT_EQ(link_text(AT_FDCWD, "/proc/self/fd/" + std::to_string(s)), stranger);
    close(s);
}

// Another process's descriptors: only the lock file of a node of this run
// reads as the node; the interposer cannot tell which of them it served.
TEST_F(DescriptorLinks, AnotherProcessesNodeReadsAsTheNode)
{
    start({}, false);
    const std::string elsewhere = testsupport::make_temp_dir("links");
    const std::string stranger = elsewhere + "/adapter0-frontend0.lock";
    int numbers[2], go[2];
    ASSERT_EQ(pipe(numbers), 0);
    ASSERT_EQ(pipe(go), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // the node, and a lock file's name in a folder that is no card's
        const int fds[2] = {open(node.c_str(), O_RDWR | O_NONBLOCK), open(stranger.c_str(), O_RDONLY | O_CREAT, 0600)};
        const bool sent = write(numbers[1], fds, sizeof fds) == ssize_t(sizeof fds);
        char c;
        const bool read_go = read(go[0], &c, 1) == 1;
        _exit(sent && read_go ? 0 : 1);
    }
    int fds[2] = {-1, -1};
    ASSERT_EQ(read(numbers[0], fds, sizeof fds), ssize_t(sizeof fds));
    const std::string proc = "/proc/" + std::to_string(child) + "/fd/";
    EXPECT_GE(fds[0], 0);
    EXPECT_EQ(link_text(AT_FDCWD, proc + std::to_string(fds[0])), node);
    EXPECT_EQ(raw_link(proc + std::to_string(fds[0])), dir + "/adapter0-frontend0.lock");
    EXPECT_EQ(link_text(AT_FDCWD, proc + std::to_string(fds[1])), stranger);
    EXPECT_EQ(link_text(AT_FDCWD, "/proc/" + std::to_string(child) + "/task/" + std::to_string(child) + "/fd/" +
                                      std::to_string(fds[0])),
              node);
    ASSERT_EQ(write(go[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    for (int fd : {numbers[0], numbers[1], go[0], go[1]})
        close(fd);
}
