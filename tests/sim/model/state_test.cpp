// SPDX-License-Identifier: GPL-2.0-or-later
// The simulator's own state handling: the card's lock, the reset, the flash
// file, the registers file's shape, the page program's size, the capture reset
// pulse. Each test fails when its rule is broken in the model.
#include "sim_fixture.h"

#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace cardio;

namespace {

class StateFaultTest : public SimTest {
protected:
    // The card's lock taken by another descriptor, as another process would.
    int hold_lock(int how)
    {
        int other = open((dir + "/eeprom.lock").c_str(), O_RDWR);
        EXPECT_GE(other, 0);
        EXPECT_EQ(flock(other, how), 0);
        return other;
    }

    // One SPI transfer: bytes in 0x14 (and 0x18), then the control word.
    void transfer(uint32_t r14, uint32_t control, uint32_t r18 = 0)
    {
        ASSERT_EQ(reg_write(fd, 0x14, r14), 0);
        ASSERT_EQ(reg_write(fd, 0x18, r18), 0);
        ASSERT_EQ(reg_write(fd, 0x10, control), 0);
    }

    void write_file(const char* name, const std::string& bytes)
    {
        FILE* f = fopen((dir + "/" + name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }

    // Listed by ls: a 32-bit readdir may fail on the folder's 64-bit offsets.
    std::set<std::string> entries() const
    {
        auto r = testsupport::run({"ls", "-A", dir});
        std::set<std::string> names;
        for (size_t start = 0, end; (end = r.out.find('\n', start)) != std::string::npos; start = end + 1)
            names.insert(r.out.substr(start, end - start));
        return names;
    }
};

}  // namespace

// A register write saves both registers' last values: without the lock, another
// process's write in between is lost. The write waits for the lock, and fails when it never comes.
TEST_F(StateFaultTest, RegisterWriteWaitsForTheCardsLock)
{
    start({"CARDSIM_LOCK_WAIT=0.05"});
    ASSERT_EQ(reg_write(fd, 0x4c, 3), 0);
    int other = hold_lock(LOCK_EX);
    testing::internal::CaptureStderr();
    EXPECT_EQ(reg_write(fd, 0x48, 1), EIO);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("eeprom.lock is held by process"), std::string::npos);
    EXPECT_EQ(file("registers"), "0x4c 0x00000003\n");
    close(other);
    EXPECT_EQ(reg_write(fd, 0x48, 1), 0);
    EXPECT_EQ(file("registers"), "0x48 0x00000001\n0x4c 0x00000003\n");
}

// Two processes writing the two saved registers at once: each one's last value stays.
TEST_F(StateFaultTest, TwoProcessesWritingRegistersKeepBothLastValues)
{
    start();
    std::vector<std::string> args{CARDSIM_BIN, "--state", dir, "--", CLIENT_BIN, "openro", "0:0"};
    for (int i = 1; i <= 300; ++i)
        args.insert(args.end(), {"rw", "0x48", std::to_string(i)});
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto r = testsupport::run(args);
        _exit(r.status == 0 && r.out.find("rw EIO") == std::string::npos ? 0 : 1);
    }
    for (int i = 1; i <= 300; ++i)
        ASSERT_EQ(reg_write(fd, 0x4c, uint32_t(i)), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(file("registers"), "0x48 0x0000012c\n0x4c 0x0000012c\n");
}

// Readers share the lock; a writer needs it alone.
TEST_F(StateFaultTest, EepromWriteTakesTheLockExclusively)
{
    start({"CARDSIM_LOCK_WAIT=0.05"});
    ASSERT_EQ(store(96, 'a'), 0);
    int reader = hold_lock(LOCK_SH);
    unsigned char buf[8] = {};
    Exchange x = eeprom_read(fd, 96, 1, buf);
    EXPECT_TRUE(x.done);
    EXPECT_EQ(buf[0], 'a');
    testing::internal::CaptureStderr();
    EXPECT_EQ(store(96, 'b'), EIO);
    EXPECT_EQ(reg_write(fd, 0x48, 1), EIO);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(file("eeprom")[96], 'a');
    close(reader);
    EXPECT_EQ(store(96, 'b'), 0);
    EXPECT_EQ(file("eeprom")[96], 'b');
}

TEST_F(StateFaultTest, ResetLeavesNoStateFileBehind)
{
    start({"CARDSIM_FLASH_BUSY_TIME=0"});
    ASSERT_EQ(store(96, 'a'), 0);
    ASSERT_EQ(reg_write(fd, 0x48, 1), 0);
    ASSERT_EQ(reg_write(fd, 0x50, 1), 0);  // an unknown register: recorded
    transfer(0x06, 0x10e0);                // write enable
    transfer(0x02 | 0x10 << 8, 0x80e0, 0x11223344);  // program at 0x001000: makes the flash
    close(fd);
    fd = -1;
    std::set<std::string> before{"eeprom", "eeprom.lock", "registers", "unknown", "flash", "adapter0-frontend0.lock"};
    ASSERT_EQ(entries(), before);
    auto r = testsupport::run({CARDSIM_BIN, "--state", dir, "--reset"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(entries(), (std::set<std::string>{"eeprom", "eeprom.lock", "adapter0-frontend0.lock"}));
    auto factory = testsupport::factory_eeprom();
    EXPECT_EQ(file("eeprom"), std::string(factory.begin(), factory.end()));
}

TEST_F(StateFaultTest, FlashCutDuringARunFailsAndIsNotGrownBack)
{
    start({"CARDSIM_FLASH_BUSY_TIME=0"});
    transfer(0x03, 0x44f0);  // read at 0: makes the flash
    EXPECT_EQ(reg(0x1c), 0xffffffffu);
    ASSERT_EQ(truncate((dir + "/flash").c_str(), 1000), 0);
    testing::internal::CaptureStderr();
    ASSERT_EQ(reg_write(fd, 0x14, 0x03), 0);
    EXPECT_EQ(reg_write(fd, 0x10, 0x44f0), EIO);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "cardsim: the flash file " + dir +
                  "/flash was cut to 1000 bytes while the program ran: the request fails (run cardsim --reset to "
                  "make a new card)\n");
    struct stat st;
    ASSERT_EQ(stat((dir + "/flash").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1000);
}

// Only lines exactly as the simulator writes them: "0x48 0x%08x" and "0x4c 0x%08x".
TEST_F(StateFaultTest, RegistersLineOfTheWrongShapeIsRefused)
{
    start({}, false);
    auto show = [&] { return testsupport::run({CARDSIM_BIN, "--state", dir, "--show"}); };
    ASSERT_EQ(show().status, 0);
    const std::string refusal = "cardsim: corrupt state: " + dir +
                                "/registers is not lines of \"0x48 0x%08x\" and \"0x4c 0x%08x\" (run cardsim --reset "
                                "to make a new card)\n";
    for (const std::string& bad : std::vector<std::string>{"0x48 0x1\n", "0x48 0x000000001\n", "0x48 0x00000001", "0x48 0x00000001 \n",
                                  "0x48  0x0000001\n", "0x48 0x 0000001\n", "0x48 0x-0000001\n", "0x48 0x+0000001\n",
                                  "0x48 0x0x000001\n", "0x48 0x0000000g\n", "0x50 0x00000001\n", "0x4 0x000000001\n",
                                  "0x48 0x00000001\n0x48 0x00000002\n", "\n", "0x48 0x00000001\r\n",
                                  std::string("0x48 0x0000") + '\0' + "001\n"}) {
        write_file("registers", bad);
        auto r = show();
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_EQ(r.err, refusal) << bad;
        EXPECT_EQ(r.out, "") << bad;
    }
    write_file("registers", "0x4c 0x00000003\n0x48 0x00000001\n");
    auto r = show();
    EXPECT_EQ(r.status, 0) << r.err;
}

// The chip's page buffer holds 256 bytes: of a longer program only the last 256 count.
TEST_F(StateFaultTest, PageProgramKeepsOnlyTheLast256Bytes)
{
    start({"CARDSIM_FLASH_BUSY_TIME=0"});
    transfer(0x06, 0x10e0);
    // opcode and address 0x002000 first, then 300 data bytes: 0x0f for the first 44, 0xf0 after
    auto data = [](int k) { return uint8_t(k < 44 ? 0x0f : 0xf0); };
    transfer(0x00200002, 0x40a0);  // select, 4 bytes, stay selected
    for (int k = 0; k < 300; k += 8) {
        uint32_t w[2] = {0, 0};
        int n = std::min(8, 300 - k);
        for (int b = 0; b < n; ++b)
            w[b / 4] |= uint32_t(data(k + b)) << (8 * (b % 4));
        transfer(w[0], uint32_t(n) << 12 | (k + 8 >= 300 ? 0x60u : 0x20u), w[1]);
    }
    std::string f = file("flash");
    std::string page = f.substr(0x2000, 256);
    EXPECT_EQ(page, std::string(256, '\xf0'));  // bytes 44 to 299 wrapped over the whole page
    EXPECT_EQ(f.substr(0x1f00, 256), std::string(256, '\xff'));
    EXPECT_EQ(f.substr(0x2100, 256), std::string(256, '\xff'));
}

// The capture logic restarts at the end of a pulse: a 0 alone is no pulse.
TEST_F(StateFaultTest, LoneZeroToTheCaptureResetRegisterIsNoRestart)
{
    start();
    ASSERT_EQ(reg_write(fd, 0x44, 0), 0);
    EXPECT_EQ(status(fd) & kBusy, 0u);
    ASSERT_EQ(reg_write(fd, 0x44, 1), 0);
    EXPECT_EQ(status(fd) & kBusy, 0u);
    ASSERT_EQ(reg_write(fd, 0x44, 0), 0);
    EXPECT_EQ(status(fd) & kBusy, kBusy);
    usleep(3000001);
    EXPECT_EQ(status(fd) & kBusy, 0u);
    ASSERT_EQ(reg_write(fd, 0x44, 0), 0);  // 0 after 0: still no pulse
    EXPECT_EQ(status(fd) & kBusy, 0u);
}
