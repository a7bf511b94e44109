// SPDX-License-Identifier: GPL-2.0-or-later
// The microcontroller mailbox: handshake, EEPROM commands, busy periods and faults.
#include "sim_fixture.h"

using namespace cardio;

// The suite is named after this file, so that a failing test leads to it.
using SimMailbox = SimTest;

namespace {

std::vector<uint32_t> statuses(int fd, int n)
{
    std::vector<uint32_t> s;
    for (int i = 0; i < n; ++i)
        s.push_back(status(fd));
    return s;
}

}  // namespace

TEST_F(SimMailbox, HandshakeTakesOneStatusReadPerStep)
{
    start();
    EXPECT_EQ(status(fd), 1u);  // idle
    window_write(fd, 0, command(0x31, 1, 0, 20));
    EXPECT_EQ(statuses(fd, 3), (std::vector<uint32_t>{1, 0, 0}));
    window_write(fd, 12, 0);
    EXPECT_EQ(statuses(fd, 3), (std::vector<uint32_t>{0, 1, 1}));
}

TEST_F(SimMailbox, LatencyFaultStretchesEachHandshakeStep)
{
    start({"CARDSIM_FAULTS=latency=3"});
    window_write(fd, 0, command(0x31, 1, 0, 20));
    EXPECT_EQ(statuses(fd, 5), (std::vector<uint32_t>{1, 1, 1, 0, 0}));
    window_write(fd, 12, 0);
    EXPECT_EQ(statuses(fd, 5), (std::vector<uint32_t>{0, 0, 0, 1, 1}));
}

TEST_F(SimMailbox, ZeroLatencyAnswersAtTheFirstRead)
{
    start({"CARDSIM_FAULTS=latency=0"});
    window_write(fd, 0, command(0x31, 1, 0, 20));
    EXPECT_EQ(status(fd), 0u);
    window_write(fd, 12, 0);
    EXPECT_EQ(status(fd), 1u);
}

TEST_F(SimMailbox, ReadsOneByteAtAddress20OfANewCard)
{
    start();
    // Command bytes 0x31, 0x01, 0x00, 0x14: read one byte at address 20.
    window_write(fd, 0, 0x14000131);
    Exchange x = exchange(fd);
    EXPECT_TRUE(x.done);
    EXPECT_EQ(x.polls, 4);
    uint32_t word = 0;
    window_read(fd, 4, word);
    EXPECT_EQ(word, 0x00000001u);  // automatic output format
}

TEST_F(SimMailbox, NewCardHasTheFactoryImage)
{
    start({"CARDSIM_MAC=02:00:00:aa:bb:cc"});
    std::string e = file("eeprom");
    ASSERT_EQ(e.size(), 256u);
    std::string expected(256, '\0');
    const char mac[] = "\x02\x00\x00\xaa\xbb\xcc";
    expected.replace(8, 6, mac, 6);
    expected[18] = 0x60;
    expected[20] = 1;
    EXPECT_EQ(e, expected);
    unsigned char buf[8] = {};
    EXPECT_TRUE(eeprom_read(fd, 8, 6, buf).done);
    // Six bytes come as two whole words: the MAC, then addresses 14 and 15.
    EXPECT_EQ(std::string((char*)buf, 8), std::string("\x02\x00\x00\xaa\xbb\xcc\x00\x00", 8));
}

TEST_F(SimMailbox, WritesTwoBytesAtAddress16)
{
    start();
    window_write(fd, 4, 0x0b00);  // bytes 0x00, 0x0b
    window_write(fd, 0, command(0x30, 0x02, 0x00, 0x10));
    EXPECT_TRUE(exchange(fd).done);
    EXPECT_EQ(status(fd), 1u);  // no write error
    std::string e = file("eeprom");
    EXPECT_EQ(e.substr(16, 3), std::string("\x00\x0b\x60", 3));
}

TEST_F(SimMailbox, EightBytesUseBothDataWordsAndFourOnlyTheFirst)
{
    start();
    const unsigned char bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_TRUE(eeprom_write(fd, 100, 8, bytes).done);
    EXPECT_EQ(file("eeprom").substr(100, 9), std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x00", 9));

    window_write(fd, 8, 0xaaaaaaaa);
    unsigned char buf[8] = {};
    eeprom_read(fd, 100, 4, buf);
    uint32_t second = 0;
    window_read(fd, 8, second);
    EXPECT_EQ(second, 0xaaaaaaaau);  // a read of 4 bytes leaves word 8 alone
    eeprom_read(fd, 102, 5, buf);
    EXPECT_EQ(std::string((char*)buf, 8), std::string("\x03\x04\x05\x06\x07\x00\x00\x00", 8));
}

TEST_F(SimMailbox, OneByteReadFillsTheRestOfTheWordWithZero)
{
    start();
    const unsigned char name[3] = {'a', 'b', 'c'};
    eeprom_write(fd, 96, 3, name);
    unsigned char buf[4] = {9, 9, 9, 9};
    eeprom_read(fd, 97, 1, buf);
    EXPECT_EQ(std::string((char*)buf, 4), std::string("b\0\0\0", 4));
}

TEST_F(SimMailbox, AddressesWrapAtTheEndOfTheEeprom)
{
    start();
    const unsigned char bytes[4] = {0xa1, 0xa2, 0xa3, 0xa4};
    eeprom_write(fd, 254, 4, bytes);
    std::string e = file("eeprom");
    EXPECT_EQ(e.substr(254, 2), "\xa1\xa2");
    EXPECT_EQ(e.substr(0, 2), "\xa3\xa4");
}

TEST_F(SimMailbox, MicrocontrollerMemoryKeepsEightByteUnits)
{
    start();
    uint32_t w0 = 0, w1 = 0;
    // Bytes 0x01, 0x08, 0x12, 0x34: read at 0x1234 of a memory that starts erased.
    window_write(fd, 0, command(0x01, 0x08, 0x12, 0x34));
    exchange(fd);
    window_read(fd, 4, w0);
    window_read(fd, 8, w1);
    EXPECT_EQ(w0, 0xffffffffu);
    EXPECT_EQ(w1, 0xffffffffu);

    window_write(fd, 4, 0x44332211);
    window_write(fd, 8, 0x88776655);
    window_write(fd, 0, command(0x02, 0x08, 0x12, 0x34));
    exchange(fd);
    window_write(fd, 4, 0);
    window_write(fd, 8, 0);
    window_write(fd, 0, command(0x01, 0x08, 0x12, 0x36));
    exchange(fd);
    window_read(fd, 4, w0);
    window_read(fd, 8, w1);
    EXPECT_EQ(w0, 0x66554433u);
    EXPECT_EQ(w1, 0xffff8877u);

    window_write(fd, 0, command(0x00, 0x00, 0x12, 0x34));
    exchange(fd);
    window_write(fd, 0, command(0x01, 0x08, 0x12, 0x34));
    exchange(fd);
    window_read(fd, 4, w0);
    EXPECT_EQ(w0, 0xffffffffu);
    EXPECT_EQ(file("eeprom")[20], 1);  // the EEPROM is another memory
}

TEST_F(SimMailbox, CaptureRestartIsBusyForTheBusyTimeAfterThePulse)
{
    start({"CARDSIM_BUSY_TIME=2.5"});
    EXPECT_EQ(status(fd), 1u);
    reg_write(fd, 0x44, 1);
    usleep(15000);
    EXPECT_EQ(status(fd) & kBusy, 0u);  // busy begins when the pulse ends
    reg_write(fd, 0x44, 0);
    EXPECT_EQ(status(fd), 5u);
    usleep(2499999);
    EXPECT_EQ(status(fd), 5u);
    usleep(1);
    EXPECT_EQ(status(fd), 1u);
}

TEST_F(SimMailbox, MicrocontrollerResetStartsABusyPeriod)
{
    start();
    window_write(fd, 0, command(0x03, 0, 0, 0));
    Exchange x = exchange(fd);
    EXPECT_TRUE(x.done);
    EXPECT_EQ(x.last, 5u);
    int rounds = 0;
    while (status(fd) & kBusy) {
        sleep(2);
        ++rounds;
    }
    EXPECT_EQ(rounds, 2);  // 3 seconds by default
}

namespace {

// worksetreset's wait: rounds of 2 seconds after the pulse until the busy bit clears.
int busy_rounds(int fd, int limit = 100)
{
    reg_write(fd, 0x44, 1);
    usleep(15000);
    reg_write(fd, 0x44, 0);
    for (int round = 1; round <= limit; ++round) {
        sleep(2);
        if (!(status(fd) & 4))
            return round;
    }
    return -1;
}

}  // namespace

TEST_F(SimMailbox, BusyFaultKeepsTheCardBusyForNRounds)
{
    start({"CARDSIM_FAULTS=busy=3"});
    EXPECT_EQ(busy_rounds(fd), 4);  // three rounds busy, idle at the fourth look
    EXPECT_EQ(busy_rounds(fd), 4);  // after every restart
}

TEST_F(SimMailbox, BusyForeverNeverBecomesIdle)
{
    start({"CARDSIM_FAULTS=busy=forever"});
    EXPECT_EQ(status(fd), 1u);
    EXPECT_EQ(busy_rounds(fd), -1);
    EXPECT_GE(now(), 200.0);
}

TEST_F(SimMailbox, BusyAtStartLastsTheBusyTime)
{
    start({"CARDSIM_FAULTS=busy-at-start", "CARDSIM_BUSY_TIME=1"});
    EXPECT_EQ(status(fd), 5u);
    usleep(999999);
    EXPECT_EQ(status(fd), 5u);
    usleep(1);
    EXPECT_EQ(status(fd), 1u);
}

TEST_F(SimMailbox, ReceiverBusyNeverTakesTheCommand)
{
    start({"CARDSIM_FAULTS=receiver-busy"});
    const unsigned char byte = 0x42;
    Exchange x = eeprom_write(fd, 22, 1, &byte);
    EXPECT_FALSE(x.taken);
    EXPECT_EQ(x.polls, 1000);
    EXPECT_EQ(file("eeprom")[22], 0);
    EXPECT_NEAR(now(), 1.0, 1e-9);
}

TEST_F(SimMailbox, ReceiverBusyWithBusyCardShowsBothBits)
{
    start({"CARDSIM_FAULTS=receiver-busy,busy-at-start"});
    window_write(fd, 0, command(0x31, 1, 0, 20));
    Exchange x = exchange(fd, 100);
    EXPECT_FALSE(x.taken);
    EXPECT_EQ(x.last, 5u);
}

TEST_F(SimMailbox, NoCompletionTakesButNeverFinishes)
{
    start({"CARDSIM_FAULTS=no-completion"});
    const unsigned char byte = 0x42;
    Exchange x = eeprom_write(fd, 22, 1, &byte);
    EXPECT_TRUE(x.taken);
    EXPECT_FALSE(x.done);
    EXPECT_EQ(x.polls, 2 + 1000);
    EXPECT_EQ(file("eeprom")[22], 0x42);  // the command itself was carried out
}

TEST_F(SimMailbox, WriteErrorFaultStoresNothingAndSetsBit1)
{
    start({"CARDSIM_FAULTS=write-error"});
    const unsigned char bytes[2] = {0x12, 0x34};
    Exchange x = eeprom_write(fd, 16, 2, bytes);
    EXPECT_TRUE(x.done);
    EXPECT_EQ(x.last, 3u);
    EXPECT_EQ(file("eeprom").substr(16, 2), std::string(2, '\0'));
    unsigned char buf[4] = {};
    eeprom_read(fd, 20, 1, buf);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(status(fd), 1u);  // a new command clears the error bit
}
