// SPDX-License-Identifier: GPL-2.0-or-later
// The EEPROM file removed, cut or replaced while a program runs: no write
// goes silently into a file that nobody sees.
#include "sim_fixture.h"

using namespace cardio;

// The suite is named after this file, so that a failing test leads to it.
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
