// SPDX-License-Identifier: GPL-2.0-or-later
// Ways back from COMMAND's private /dev to the machine's: the current folder,
// a folder descriptor it inherits, and root's powers. cardsim runs in a /dev
// of DVB devices without a driver (fake_dev), whose open fails with ENXIO: an
// ENXIO below is an open that reached a device. Each way is tried as root and
// as an ordinary user.
#include "fake_dev_fixture.h"

#include "exec32.h"
#include "program_class.h"

#include <sys/stat.h>

namespace {

class Escape : public FakeDevTest {
protected:
    void SetUp() override
    {
        FakeDevTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        // The user nobody owns the folder, so that either user's card may be made in it.
        ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    }

    // The users to try as: root, and nobody where a user namespace can be made
    // for cardsim (not through qemu-i386) and nobody reaches the build tree.
    std::vector<std::vector<std::string>> users()
    {
        std::vector<std::vector<std::string>> all{{}};
        std::vector<std::string> needed{CARDSIM_BIN, PROBE_STATIC_BIN};
        if (const char* other = getenv(sizeof(void*) == 8 ? "CARDSIM_PRELOAD_32" : "CARDSIM_PRELOAD_64"))
            needed.push_back(other);
        if (runs_natively(CARDSIM_BIN) && nobody_reaches(needed))
            all.push_back({"--as-nobody"});
        else  // the root half still runs
            std::cout << "[ SKIPPED  ] as an ordinary user: cardsim runs through qemu-i386 or nobody cannot reach "
                         "this tree\n";
        return all;
    }

    // `script` run by sh in the /dev with devices, as the user; $0 is cardsim
    // with its state folder (a new one for each user), $1 the static probe.
    testsupport::Result run(const std::vector<std::string>& user, const std::string& script,
                            const std::string& card_name = "card")
    {
        std::vector<std::string> argv{FAKE_DEV_BIN};
        argv.insert(argv.end(), user.begin(), user.end());
        std::string card = dir + "/" + card_name + (user.empty() ? ".root" : ".nobody");
        argv.insert(argv.end(), {"sh", "-c", script, as_command(CARDSIM_BIN) + " --state " + card,
                                 as_command(PROBE_STATIC_BIN)});
        return testsupport::run(argv);
    }

    void TearDown() override
    {
        unsetenv("CARDSIM_PRELOAD_32");
        unsetenv("CARDSIM_PRELOAD_64");
        SimTest::TearDown();
    }

    bool made(const std::vector<std::string>& user, const std::string& card_name)
    {
        struct stat st;
        return lstat((dir + "/" + card_name + (user.empty() ? ".root" : ".nobody")).c_str(), &st) == 0;
    }
};

const std::string kNode = "dev/dvb/adapter0/frontend0";

}  // namespace

// cd / && cardsim -- env -i dd if=dev/dvb/adapter0/frontend0: the relative
// path starts in the current folder, which must be in the private mount tree.
TEST_F(Escape, CurrentFolderLeadsIntoThePrivateDevOnly)
{
    for (const auto& user : users()) {
        const char* who = user.empty() ? "root" : "nobody";
        // the decoy answers: without cardsim the relative path reaches the device
        auto r = run(user, "cd / && $1 open " + kNode);
        EXPECT_EQ(r.out, "open " + kNode + " ENXIO\n") << who << r.err;
        r = run(user, "cd / && $0 -- env -i $1 open " + kNode + " open dev/card0 syscall ./" + kNode +
                          " && cd /dev/../tmp && $0 -- $1 open ../" + kNode);
        EXPECT_EQ(r.out, "open " + kNode + " EROFS\nopen dev/card0 ENOENT\nsyscall ./" + kNode + " EROFS\nopen ../" +
                             kNode + " EROFS\n")
            << who << "\n" << r.err;
        EXPECT_EQ(r.status, 0) << who;
    }
}

// exec 5</ && cardsim -- dd if=/proc/self/fd/5/dev/dvb/...: an inherited
// folder is opened again inside, at its number; one that is not there is refused.
TEST_F(Escape, InheritedFolderDescriptorsAreOpenedAgainInside)
{
    for (const auto& user : users()) {
        const char* who = user.empty() ? "root" : "nobody";
        auto r = run(user, "exec 5</ 6</dev 7</dev/dvb/adapter0 && $1 open /proc/self/fd/5/" + kNode);
        EXPECT_EQ(r.out, "open /proc/self/fd/5/" + kNode + " ENXIO\n") << who << r.err;
        r = run(user, "exec 5</ 6</dev 7</dev/dvb/adapter0 && $0 -- env -i $1 open /proc/self/fd/5/" + kNode +
                          " open /proc/self/fd/6/card0 open /proc/self/fd/7/frontend0 list /proc/self/fd/5/dev/dvb");
        EXPECT_EQ(r.out, "open /proc/self/fd/5/" + kNode + " EROFS\nopen /proc/self/fd/6/card0 ENOENT\n" +
                             "open /proc/self/fd/7/frontend0 EROFS\nlist /proc/self/fd/5/dev/dvb: adapter0\n")
            << who << "\n" << r.err;
        EXPECT_EQ(r.status, 0) << who << r.err;

        // /dev/dvb/adapter1 is not in the private /dev: refused, before anything is made
        r = run(user, "exec 8</dev/dvb/adapter1 && $0 -- $1 open /proc/self/fd/8/frontend0", "refused");
        EXPECT_EQ(r.status, 2) << who;
        EXPECT_EQ(r.out, "") << who;
        EXPECT_EQ(r.err, "cardsim: descriptor 8 (the folder /dev/dvb/adapter1) cannot be opened again inside the "
                         "private /dev: No such file or directory; COMMAND would reach the machine's /dev through "
                         "it: close it for cardsim (8<&-)\n")
            << who;
        EXPECT_FALSE(made(user, "refused")) << who << ": a refused run made the state folder";
    }
}

// As root: cardsim -- sh -c 'umount -l /dev; dd if=/dev/dvb/...', and the
// other ways out that root has: a devtmpfs of its own, the first process's
// root folder, its namespace. Root's COMMAND runs in a user namespace of its
// own, and all of them fail; files keep their owners.
TEST_F(Escape, RootCannotLeaveThePrivateDev)
{
    std::string mnt = dir + "/mnt", owned = dir + "/owned";
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    FILE* f = fopen(owned.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    ASSERT_EQ(chown(owned.c_str(), 65534, 65534), 0);
    // The shell in the /dev with devices is the way out for a process that may
    // see its root folder or enter its namespace; its pid is in `pid`.
    std::string pid = dir + "/pid", outside = dir + "/outside/" + kNode, out = "/" + kNode;
    std::string way_out = "echo $$ > " + pid + " && ln -sfn /proc/$$/root " + dir + "/outside && ";
    auto r = run({}, way_out + "$1 open " + outside + " && nsenter -t $$ -m $1 open " + out);
    EXPECT_EQ(r.out, "open " + outside + " ENXIO\nopen " + out + " ENXIO\n") << r.err;
    r = run({}, way_out + "$0 -- sh -c 'umount -l /dev 2>/dev/null; umount /dev 2>/dev/null; $1 open " + out +
                    "; mount -t devtmpfs none " + mnt + " 2>/dev/null; $1 open " + mnt + "/dvb/adapter0/frontend0 open " +
                    outside + "; nsenter -t $(cat " + pid + ") -m $1 open " + out +
                    " 2>/dev/null || echo nsenter refused; id -u; stat -c %u " + owned + "' sh \"$1\"");
    EXPECT_EQ(r.out, "open " + out + " EROFS\nopen " + mnt + "/dvb/adapter0/frontend0 ENOENT\nopen " + outside +
                         " EACCES\nnsenter refused\n0\n65534\n")
        << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
}

// Where no user namespace may be made, root's COMMAND keeps the machine's
// capabilities inside the private /dev: cardsim says so, and runs it.
TEST_F(Escape, RootWithoutAUserNamespaceIsWarned)
{
    auto r = testsupport::run({FAKE_DEV_BIN, "--no-user-namespaces", "sh", "-c", "exec $0 -- $1 open /" + kNode,
                               as_command(CARDSIM_BIN) + " --state " + dir + "/card", as_command(PROBE_STATIC_BIN)});
    EXPECT_EQ(r.out, "open /" + kNode + " EROFS\n") << r.err;
    EXPECT_EQ(r.err, "cardsim: warning: COMMAND runs as the machine's root (no user namespace for root: unshare: "
                     "Operation not permitted): it may unmount the private /dev, leave the namespace or open a "
                     "device by its handle, and so reach the real card\n");
    EXPECT_EQ(r.status, 0);
}
