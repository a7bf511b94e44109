// SPDX-License-Identifier: GPL-2.0-or-later
// The EEPROM file and the state folder renamed, linked, copied over, moved
// aside, removed or cut while a program runs: every write lands in the card
// that the path names, or fails with EIO and one line; never an "ok" into a
// file nobody reads.
#include "sim_fixture.h"

#include <sys/file.h>
#include <sys/stat.h>

using namespace cardio;

namespace {

class LostWriteTest : public SimTest {
protected:
    void rename_entry(const std::string& from, const std::string& to)
    {
        ASSERT_EQ(rename((dir + "/" + from).c_str(), (dir + "/" + to).c_str()), 0) << strerror(errno);
    }

    testsupport::Result reset(const std::string& folder)
    {
        return testsupport::run({CARDSIM_BIN, "--state", folder, "--reset"});
    }

    void TearDown() override
    {
        SimTest::TearDown();
        if (!aside.empty())
            testsupport::run({"rm", "-rf", aside});
    }

    std::string aside;
};

}  // namespace

TEST_F(LostWriteTest, EepromRenamedAwayFailsAndTheOldFileIsLeftAlone)
{
    start();
    ASSERT_EQ(store(96, 'a'), 0);
    rename_entry("eeprom", "eeprom.away");
    testing::internal::CaptureStderr();
    EXPECT_EQ(store(97, 'b'), EIO);
    EXPECT_EQ(store(98, 'c'), EIO);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "cardsim: the EEPROM file " + dir +
                  "/eeprom was renamed away while the program ran: the request fails (the next run makes a new "
                  "card)\n");
    std::string away = file("eeprom.away");
    EXPECT_EQ(away.substr(96, 3), std::string("a\0\0", 3));
}

// How editors save with a backup: the file at the path is another one now, and it is the card.
TEST_F(LostWriteTest, BackupThenCopyBackIsTheCardFromThenOn)
{
    start();
    ASSERT_EQ(store(96, 'a'), 0);
    rename_entry("eeprom", "eeprom.bak");
    auto r = testsupport::run({"cp", dir + "/eeprom.bak", dir + "/eeprom"});
    ASSERT_EQ(r.status, 0) << r.err;
    testing::internal::CaptureStderr();
    EXPECT_EQ(store(97, 'b'), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(file("eeprom").substr(96, 2), "ab");
    EXPECT_EQ(file("eeprom.bak").substr(96, 2), std::string("a\0", 2));
}

// A link keeps the old file alive with the same link count as before; the reset's file is the card.
TEST_F(LostWriteTest, HardLinkThenResetFromAnotherProcessFollowsTheNewCard)
{
    start();
    ASSERT_EQ(store(96, 'a'), 0);
    ASSERT_EQ(link((dir + "/eeprom").c_str(), (dir + "/eeprom.keep").c_str()), 0);
    auto r = reset(dir);
    ASSERT_EQ(r.status, 0) << r.err;
    testing::internal::CaptureStderr();
    EXPECT_EQ(store(97, 'b'), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(file("eeprom").substr(96, 2), std::string("\0b", 2));
    EXPECT_EQ(file("eeprom.keep").substr(96, 2), std::string("a\0", 2));
    unsigned char buf[8] = {};
    EXPECT_TRUE(eeprom_read(fd, 96, 2, buf).done);
    EXPECT_EQ(std::string((char*)buf, 2), std::string("\0b", 2));
}

// The whole folder moved aside and a new card made in its place: this
// program's card is neither, so its EEPROM, register and flash writes fail.
TEST_F(LostWriteTest, FolderMovedAsideAndANewCardMadeFailsEveryWrite)
{
    start();
    ASSERT_EQ(store(96, 'a'), 0);
    aside = dir + ".aside";
    ASSERT_EQ(rename(dir.c_str(), aside.c_str()), 0);
    auto r = reset(dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string line = "cardsim: the state folder " + dir +
                             " was moved, removed or replaced while the program ran: the request fails (nothing is "
                             "written into a folder that nobody sees)\n";
    testing::internal::CaptureStderr();
    EXPECT_EQ(store(97, 'b'), EIO);
    EXPECT_EQ(reg_write(fd, 0x48, 5), EIO);
    EXPECT_EQ(reg_write(fd, 0x14, 0x06), 0);
    EXPECT_EQ(reg_write(fd, 0x10, 0x10e0), 0);  // write enable: no image needed
    EXPECT_EQ(reg_write(fd, 0x14, 0x00000003), 0);
    EXPECT_EQ(reg_write(fd, 0x10, 0x44f0), EIO);  // a flash read needs the image
    EXPECT_EQ(testing::internal::GetCapturedStderr(), line);
    for (const std::string& folder : {dir, aside}) {
        std::string e = testsupport::read_file(folder + "/eeprom");
        ASSERT_EQ(e.size(), 256u);
        EXPECT_NE(e[97], 'b') << folder;
        struct stat st;
        EXPECT_NE(stat((folder + "/registers").c_str(), &st), 0) << folder;
        EXPECT_NE(stat((folder + "/flash").c_str(), &st), 0) << folder;
    }
}

TEST_F(LostWriteTest, FolderMovedAwayWithNothingInItsPlaceFails)
{
    start();
    aside = dir + ".aside";
    ASSERT_EQ(rename(dir.c_str(), aside.c_str()), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(store(97, 'b'), EIO);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("the state folder " + dir + " was moved"), std::string::npos);
    EXPECT_NE(testsupport::read_file(aside + "/eeprom")[97], 'b');
}

// The lock every process takes is the one at the path: a lock file removed is made again, not kept privately.
TEST_F(LostWriteTest, RemovedLockFileIsTakenAgainFromThePath)
{
    start();
    ASSERT_EQ(store(96, 'a'), 0);
    struct stat before, after;
    ASSERT_EQ(stat((dir + "/eeprom.lock").c_str(), &before), 0);
    ASSERT_EQ(remove((dir + "/eeprom.lock").c_str()), 0);
    EXPECT_EQ(store(97, 'b'), 0);
    ASSERT_EQ(stat((dir + "/eeprom.lock").c_str(), &after), 0);
    int other = open((dir + "/eeprom.lock").c_str(), O_RDWR);
    ASSERT_GE(other, 0);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);  // not held behind anyone's back
    close(other);
    EXPECT_EQ(file("eeprom").substr(96, 2), "ab");
}

// The EEPROM file removed, cut or replaced while a program runs: no write
// goes silently into a file that nobody sees.
using NoLostWrite = SimTest;

TEST_F(NoLostWrite, RemovedEepromFailsTheWriteWithOneMessage)
{
    start();
    ASSERT_EQ(store_byte(fd, 96, 'a'), 0);
    ASSERT_EQ(remove((dir + "/eeprom").c_str()), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(store_byte(fd, 97, 'b'), EIO);
    EXPECT_EQ(store_byte(fd, 98, 'c'), EIO);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "cardsim: the EEPROM file " + dir +
                  "/eeprom was removed while the program ran: the request fails (the next run makes a new card)\n");
}

TEST_F(NoLostWrite, TruncatedEepromFailsTheWriteAndDoesNotGrowBack)
{
    start();
    ASSERT_EQ(truncate((dir + "/eeprom").c_str(), 100), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(store_byte(fd, 200, 'x'), EIO);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "cardsim: the EEPROM file " + dir +
                        "/eeprom was cut to 100 bytes while the program ran: the request fails (run cardsim --reset "
                        "to make a new card)\n");
    EXPECT_EQ(file("eeprom").size(), 100u);
}

// Another process makes the card new: this program goes on with the card that everyone now sees.
TEST_F(NoLostWrite, ReplacedEepromIsFollowed)
{
    start();
    ASSERT_EQ(store_byte(fd, 96, 'a'), 0);
    auto r = testsupport::run({CARDSIM_BIN, "--state", dir, "--reset"});
    ASSERT_EQ(r.status, 0) << r.err;
    testing::internal::CaptureStderr();
    EXPECT_EQ(store_byte(fd, 97, 'b'), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    std::string e = file("eeprom");
    EXPECT_EQ(e[96], 0);  // the new card
    EXPECT_EQ(e[97], 'b');
    unsigned char buf[4] = {};
    EXPECT_TRUE(eeprom_read(fd, 96, 2, buf).done);
    EXPECT_EQ(std::string((char*)buf, 2), std::string("\0b", 2));
}

// The 15-line client: a node closed by fclose behind the interposer's back,
// then a register write whose model saves to a file. It used to hang.
TEST_F(NoLostWrite, NodeClosedByFcloseDoesNotDeadlockTheNextRequest)
{
    start({}, false);
    // A hang is caught by the test's time limit (tests/sim/CMakeLists.txt).
    auto r = testsupport::run({CARDSIM_BIN, "--state", dir, "--", DEADLOCK_BIN});
    EXPECT_EQ(r.out, "served 0\n") << r.err;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(file("registers"), "0x48 0x00000001\n");
}
