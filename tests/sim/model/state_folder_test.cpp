// SPDX-License-Identifier: GPL-2.0-or-later
// A state folder that someone else can write in, and links planted in it:
// cardsim refuses them and writes nothing through them.
#include "sim_fixture.h"

#include "exec32.h"

#include <sys/stat.h>

// The suite is named after what this file guards.
using Safety = SimTest;

namespace {

testsupport::Result cardsim_run(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
{
    std::vector<std::string> argv{CARDSIM_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::run(argv, env);
}

mode_t mode_of(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xffff;
}

void write_file(const std::string& path, const std::string& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

}  // namespace

// The attacker is another local user who made the folder first.
TEST_F(Safety, FolderOfAnotherUserIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to act as the other user with setpriv --reuid=nobody";
    start({}, false);
    ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
    std::string card = dir + "/card", victim = dir + "/victim";
    write_file(victim, std::string(256, 'V'));
    auto made = testsupport::run({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "sh", "-c",
                                  "mkdir -m 0777 " + card + " && ln -s " + victim + " " + card + "/eeprom && ln -s " +
                                      victim + " " + card + "/eeprom.lock"});
    ASSERT_EQ(made.status, 0) << made.err;
    for (auto args : std::vector<std::vector<std::string>>{
             {"--", CLIENT_BIN, "open", "0:0", "eeprom-write", "0", "1"}, {"--reset"}, {"--show"}}) {
        args.insert(args.begin(), {"--state", card});
        auto r = cardsim_run(args);
        EXPECT_EQ(r.status, 2) << args[2];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("cardsim: unsafe state folder " + card + ": it belongs to another user (uid ", 0), 0u)
            << r.err;
    }
    EXPECT_EQ(testsupport::read_file(victim), std::string(256, 'V'));
    // the interposer refuses it as well, should the folder be handed to it directly
    setenv("CARDSIM_STATE", card.c_str(), 1);
    ASSERT_EQ(cardsim_reload(), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(open("/dev/dvb/adapter0/frontend0", O_RDWR), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("belongs to another user"), std::string::npos);
    EXPECT_EQ(testsupport::read_file(victim), std::string(256, 'V'));
}

TEST_F(Safety, FolderThatOthersMayWriteIsRefused)
{
    start({}, false);
    std::string card = dir + "/card";
    ASSERT_EQ(mkdir(card.c_str(), 0700), 0);
    ASSERT_EQ(chmod(card.c_str(), 0770), 0);
    auto r = cardsim_run({"--state", card, "--", CLIENT_BIN, "open", "0:0"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cardsim: unsafe state folder " + card +
                         ": group or others may write in it (mode 0770); run chmod go-w on it, or use a folder of "
                         "your own\n");
    struct stat st;
    EXPECT_NE(stat((card + "/eeprom").c_str(), &st), 0);
}

TEST_F(Safety, LinksInTheFolderAreNeverFollowed)
{
    start();
    ASSERT_EQ(cardio::reg_write(fd, 0x48, 1), 0);  // makes "registers"
    close(fd);
    fd = -1;
    std::string victim = dir + ".victim";
    write_file(victim, std::string(256, 'V'));
    for (const char* name : {"eeprom", "registers", "flash", "eeprom.lock"}) {
        std::string entry = dir + "/" + name, saved = entry + ".saved";
        rename(entry.c_str(), saved.c_str());
        ASSERT_EQ(symlink(victim.c_str(), entry.c_str()), 0);
        auto r = cardsim_run({"--state", dir, "--", CLIENT_BIN, "open", "0:0", "rw", "0x48", "1"});
        EXPECT_EQ(r.status, 2) << name;
        EXPECT_EQ(r.out, "") << name;
        EXPECT_EQ(r.err, "cardsim: unsafe state: " + entry +
                             " is a symbolic link, which cardsim never follows; remove it, or use a folder of your "
                             "own\n")
            << name;
        remove(entry.c_str());
        rename(saved.c_str(), entry.c_str());
    }
    // a node's lock file, which is made when the node is first opened
    ASSERT_EQ(cardsim_reload(), 0);
    std::string lock = dir + "/adapter0-frontend0.lock";
    ASSERT_EQ(remove(lock.c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), lock.c_str()), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(open("/dev/dvb/adapter0/frontend0", O_RDWR | O_NONBLOCK), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "cardsim: unsafe state: " + dir +
                  "/adapter0-frontend0.lock is a symbolic link, which cardsim never follows; remove it\n");
    EXPECT_EQ(testsupport::read_file(victim), std::string(256, 'V'));
    remove(victim.c_str());
}

TEST_F(Safety, FilesArePrivateWhateverTheUmask)
{
    start({}, false);
    std::string card = dir + "/card";
    // cardsim itself, not a shell, is started, so that a 32-bit one runs
    // through qemu where the kernel cannot run it.
    const mode_t saved_umask = umask(0);
    auto r = testsupport::run({CARDSIM_BIN, "--state", card, "--", CLIENT_BIN, "open", "0:0", "rw", "0x48", "1"});
    umask(saved_umask);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(mode_of(card), 0700u);
    for (const char* name : {"eeprom", "eeprom.lock", "registers", "adapter0-frontend0.lock"})
        EXPECT_EQ(mode_of(card + "/" + name), 0600u) << name;
    // no temporary file is left behind
    r = testsupport::run({"sh", "-c", "ls \"$0\" | grep -c tmp", card});
    EXPECT_EQ(r.out, "0\n");
}

// A script's programs get their interposer through links in a private folder
// that is gone when the script ends.
TEST_F(Safety, PreloadLinksLiveInAPrivateFolderForTheRunOnly)
{
    const char* other = OTHER_CLASS_PRELOAD;
    const int other_bits = sizeof(void*) == 8 ? 32 : 64;
    if (!*other)
        GTEST_SKIP() << "needs the " << other_bits << "-bit interposer: configure this tree with "
                     << "-DRAVELIN_OTHER_CLASS_PRELOAD=<its libcardsim.so> (scripts/build.sh names the sibling tree's)";
    if (cardsim::elf_bits(other) != other_bits)
        GTEST_SKIP() << "needs the " << other_bits << "-bit interposer " << other
                     << " (RAVELIN_OTHER_CLASS_PRELOAD), which is not there: build that tree first";
    start({}, false);
    std::string script = dir + ".sh";
    write_file(script, "#!/bin/sh\necho \"$LD_PRELOAD\"\n");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    auto r = testsupport::run({CARDSIM_BIN, "--state", dir, "--", script},
                              {std::string(sizeof(void*) == 8 ? "CARDSIM_PRELOAD_32=" : "CARDSIM_PRELOAD_64=") + other});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string line = r.out.substr(0, r.out.find_first_of(":\n"));
    const std::string tail = "/$LIB/libcardsim.so";
    ASSERT_GT(line.size(), tail.size()) << r.out;
    ASSERT_EQ(line.substr(line.size() - tail.size()), tail) << r.out;
    std::string folder = line.substr(0, line.size() - tail.size());
    EXPECT_NE(folder.find("/cardsim-preload."), std::string::npos) << folder;
    struct stat st;
    EXPECT_NE(lstat(folder.c_str(), &st), 0) << folder << " is still there";
    EXPECT_NE(lstat((dir + "/preload").c_str(), &st), 0);
    remove(script.c_str());
}

TEST_F(Safety, PreloadOverrideMustBeTheInterposer)
{
    start({}, false);
    const char* name = sizeof(void*) == 4 ? "CARDSIM_PRELOAD_32" : "CARDSIM_PRELOAD_64";
    const char* libc = sizeof(void*) == 4 ? "/lib/i386-linux-gnu/libc.so.6" : "/lib/x86_64-linux-gnu/libc.so.6";
    auto r = cardsim_run({"--state", dir, "--", CLIENT_BIN}, {std::string(name) + "=" + libc});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cardsim: " + std::string(name) + "=" + libc + " is not a " +
                         (sizeof(void*) == 4 ? "32" : "64") +
                         "-bit libcardsim.so (it must be cardsim's interposer, which exports "
                         "cardsim_interposer_version)\n");
    r = cardsim_run({"--state", dir, "--", CLIENT_BIN, "open", "0:0"}, {std::string(name) + "=" + PRELOAD_LIB});
    EXPECT_EQ(r.out, "open ok\n") << r.err;
}

TEST_F(Safety, TraceThatIsALinkIsRefused)
{
    start({}, false);
    std::string victim = dir + "/victim", trace = dir + "/trace";
    write_file(victim, "mine\n");
    ASSERT_EQ(symlink(victim.c_str(), trace.c_str()), 0);
    auto r = cardsim_run({"--state", dir, "--trace", trace, "--", CLIENT_BIN, "open", "0:0"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cardsim: cannot open the trace file " + trace +
                         ": it is a symbolic link (give the file itself)\n");
    EXPECT_EQ(testsupport::read_file(victim), "mine\n");
}
