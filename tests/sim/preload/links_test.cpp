// SPDX-License-Identifier: GPL-2.0-or-later
// A node's descriptor is its lock file; its link in /proc reads as the node,
// as a device's would, and no other link is touched.
#include "sim_fixture.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/syscall.h>

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
