// SPDX-License-Identifier: GPL-2.0-or-later
// Who holds a node, as ravelinctl names it: found by the link's text, by the
// same device under another name, by the same file under another name; the
// writers before the readers; this process apart. Here, without cardsim:
// /proc as the kernel shows it.
#include "ravelinctl.h"
#include "run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A child that holds `path` open until the test lets it go.
class holder {
public:
    holder(const std::string& path, int flags)
    {
        int ready[2], hold[2];
        if (pipe(ready) != 0 || pipe(hold) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(hold[1]);
            const int fd = open(path.c_str(), flags | O_CLOEXEC);
            const char said = fd >= 0 ? 'y' : 'n';
            (void)!write(ready[1], &said, 1);
            // Until the test says so: a byte, since later holders share the pipe's ends.
            char c;
            while (read(hold[0], &c, 1) < 0 && errno == EINTR) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(hold[0]);
        release_ = hold[1];
        char said = 0;
        opened_ = read(ready[0], &said, 1) == 1 && said == 'y';
        close(ready[0]);
    }
    ~holder() { let_go(); }

    void let_go()
    {
        if (release_ >= 0) {
            (void)!write(release_, "x", 1);
            close(release_);
        }
        release_ = -1;
        if (pid_ > 0)
            waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    bool opened() const { return opened_; }
    // As ravelinctl names it.
    std::string name() const
    {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/comm");
        std::string comm;
        std::getline(in, comm);
        return "process " + std::to_string(pid_) + " (" + comm + ")";
    }

private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool opened_ = false;
};

bool has(const std::vector<std::string>& v, const std::string& s) { return std::find(v.begin(), v.end(), s) != v.end(); }

class Holders : public ::testing::Test {
protected:
    void SetUp() override { dir = testsupport::make_temp_dir("holders"); }
    std::string dir;
};

TEST_F(Holders, AFileByItsNameOrAnotherAndThisProcessApart)
{
    const std::string file = dir + "/node", other = dir + "/other-name";
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    ASSERT_EQ(link(file.c_str(), other.c_str()), 0) << std::strerror(errno);

    // Nobody: the general advice.
    EXPECT_EQ(ctl::node_holders(file), std::vector<std::string>{});
    EXPECT_EQ(ctl::busy_fix(file), "another program has it open: end that program and try again");

    holder h(file, O_RDWR);
    ASSERT_TRUE(h.opened());
    EXPECT_EQ(ctl::node_holders(file), std::vector<std::string>{h.name()});
    // The same file under another name: by its inode.
    EXPECT_EQ(ctl::node_holders(other), std::vector<std::string>{h.name()});
    EXPECT_EQ(ctl::busy_fix(other), h.name() + " has it open: end it and try again");

    // This process holds it too: said apart, never named.
    const int mine = open(file.c_str(), O_RDWR | O_CLOEXEC);
    bool self = false;
    EXPECT_EQ(ctl::node_holders(file, &self), std::vector<std::string>{h.name()});
    EXPECT_TRUE(self);
    h.let_go();
    EXPECT_EQ(ctl::node_holders(file, &self), std::vector<std::string>{});
    EXPECT_TRUE(self);
    EXPECT_EQ(ctl::busy_fix(file),
              "ravelinctl itself holds it, on a descriptor it was started with: start it without that descriptor");
    close(mine);
}

// The node admits one writer: while one holds it, the readers are not the ones to end.
TEST_F(Holders, TheWriterIsNamedBeforeTheReaders)
{
    const std::string file = dir + "/node";
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    holder reader(file, O_RDONLY), writer(file, O_RDWR), second(file, O_RDONLY);
    ASSERT_TRUE(reader.opened() && writer.opened() && second.opened());
    EXPECT_EQ(ctl::node_holders(file), std::vector<std::string>{writer.name()});
    writer.let_go();
    const std::vector<std::string> readers = ctl::node_holders(file);
    EXPECT_EQ(readers.size(), 2u);
    EXPECT_TRUE(has(readers, reader.name()) && has(readers, second.name()));
    EXPECT_EQ(ctl::busy_fix(file), readers[0] + " and " + readers[1] + " have it open: end them and try again");
}

// A card's node may be held under another name of the same device
// (/dev/char/212:0, a node made elsewhere): found by the device number.
// Making device nodes needs root outside a user namespace: the package
// build and this project's machine run it, a user's run skips it.
TEST_F(Holders, ADeviceByAnotherNameOfTheSameNumber)
{
    struct stat full {};
    ASSERT_EQ(stat("/dev/full", &full), 0);
    const std::string node = dir + "/frontend0", alias = dir + "/212:0";
    if (mknod(node.c_str(), S_IFCHR | 0600, full.st_rdev) != 0)
        GTEST_SKIP() << "cannot make a device node here (" << std::strerror(errno) << "): needs root outside a user namespace";
    ASSERT_EQ(mknod(alias.c_str(), S_IFCHR | 0600, full.st_rdev), 0) << std::strerror(errno);
    const std::string other = dir + "/not-the-device";
    ASSERT_EQ(mknod(other.c_str(), S_IFCHR | 0600, makedev(major(full.st_rdev), minor(full.st_rdev) + 100)), 0);

    holder h(alias, O_RDWR);
    if (!h.opened())
        GTEST_SKIP() << "the file system under the test's folder does not open devices (nodev)";
    // Others may hold the same device (/dev/full): the holder is among them.
    EXPECT_TRUE(has(ctl::node_holders(node), h.name()));
    EXPECT_FALSE(has(ctl::node_holders(other), h.name()));
    h.let_go();
    EXPECT_FALSE(has(ctl::node_holders(node), h.name()));
}

}  // namespace
