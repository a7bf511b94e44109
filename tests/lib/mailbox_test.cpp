// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim_card.h"

#include <algorithm>

namespace {

using Mailbox = SimCard;

// The i386 build of the command-line tool polls a tenth as long.
const int ravelins_polls = sizeof(void*) == 4 ? 100 : 1000;

int count(const std::vector<Event>& events, const std::string& what)
{
    return int(std::count_if(events.begin(), events.end(),
                             [&](const Event& e) { return e.what == what; }));
}

TEST_F(Mailbox, ReadCountZeroOrAboveEightIsRefusedWithoutARequest)
{
    start();
    unsigned char buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    card.read_24cxx(20, 0, buf);
    card.read_24cxx(20, 9, buf);
    select(zeb_program_ravelin);
    card.read_24cxx(20, 0, buf);
    card.read_24cxx(20, 255, buf);

    EXPECT_EQ(messages(), (std::vector<std::string>{
                              " read 24cxx parameter error! [num == 0]\n\r",
                              " read 24cxx parameter error! [num >8]\n\r",
                              " read 24cxx parameter error! [num == 0]\n\r",
                              " read 24cxx parameter error! [num >8]\n\r",
                          }));
    EXPECT_EQ(printed(), " read 24cxx parameter error! [num == 0]\n\r"
                         " read 24cxx parameter error! [num >8]\n\r"
                         " read 24cxx parameter error! [num == 0]\n\r"
                         " read 24cxx parameter error! [num >8]\n\r");
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 8),
              (std::vector<unsigned char>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(Mailbox, WriteCountZeroOrAboveEightIsRefusedWithoutARequest)
{
    start();
    unsigned char buf[12] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    card.write_24cxx(40, 0, buf);
    card.write_24cxx(40, 9, buf);
    EXPECT_EQ(printed(), " write 24cxx parameter error! [num == 0]\n\r"
                         " write 24cxx parameter error! [num >8]\n\r");

    clear_messages();
    select(zeb_program_ravelin);
    card.write_24cxx(40, 0, buf);
    card.write_24cxx(40, 9, buf);
    EXPECT_EQ(messages(), (std::vector<std::string>{" write 24cxx parameter error! [num == 0]",
                                                    " write 24cxx parameter error! [num >8]"}));
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(eeprom(), eeprom_with({}));
}

TEST_F(Mailbox, ReadOfOneByteStoresAWholeWord)
{
    start({}, eeprom_with({{20, {5, 3, 7, 9}}}));
    unsigned char buf[8] = {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa};
    card.read_24cxx(20, 1, buf);

    // the card sends the one byte asked for; the rest of the word comes along
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 8),
              (std::vector<unsigned char>{5, 0, 0, 0, 0xaa, 0xaa, 0xaa, 0xaa}));
    auto r = requests();
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.front(), "WINDOW_WRITE 0x00 0x14000131");
    EXPECT_EQ(r.back(), "WINDOW_READ 0x04 0x00000005");
    EXPECT_TRUE(events("WINDOW_READ 0x08").empty());
    EXPECT_EQ(printed(), "");
}

TEST_F(Mailbox, ReadOfSixBytesStoresTwoWords)
{
    start({"CARDSIM_MAC=02:11:22:33:44:55"});
    unsigned char buf[8] = {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa};
    card.read_24cxx(8, 6, buf);

    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 8),
              (std::vector<unsigned char>{0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0, 0}));
    auto r = requests();
    EXPECT_EQ(r.front(), "WINDOW_WRITE 0x00 0x08000631");
    ASSERT_GE(r.size(), 2u);
    EXPECT_EQ(r[r.size() - 2], "WINDOW_READ 0x04 0x332211" "02");
    EXPECT_EQ(r.back(), "WINDOW_READ 0x08 0x00005544");
}

TEST_F(Mailbox, WriteSendsOneDataWordUpToFourBytesAndTwoAboveFour)
{
    start();
    unsigned char four[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    card.write_24cxx(40, 4, four);
    auto r = requests();
    ASSERT_GE(r.size(), 2u);
    EXPECT_EQ(r[0], "WINDOW_WRITE 0x04 0x04030201");
    EXPECT_EQ(r[1], "WINDOW_WRITE 0x00 0x28000430");
    EXPECT_EQ(r.back().substr(0, 17), "WINDOW_READ 0x00 ");

    unsigned char eight[8] = {0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18};
    card.write_24cxx(48, 5, eight);
    r = requests();
    auto second = std::find(r.begin(), r.end(), "WINDOW_WRITE 0x04 0x14131211");
    ASSERT_NE(second, r.end());
    EXPECT_EQ(second[1], "WINDOW_WRITE 0x08 0x18171615");
    EXPECT_EQ(second[2], "WINDOW_WRITE 0x00 0x30000530");

    EXPECT_EQ(hex_bytes(eeprom(), 40, 16),
              "01 02 03 04 00 00 00 00 11 12 13 14 15 00 00 00");
    EXPECT_EQ(printed(), "");
}

TEST_F(Mailbox, EightBytesMoveBothWordsEachWay)
{
    start();
    unsigned char out[8] = {0xa0, 0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7};
    card.write_24cxx(100, 8, out);
    unsigned char in[8] = {};
    card.read_24cxx(100, 8, in);
    EXPECT_EQ(std::vector<unsigned char>(in, in + 8), std::vector<unsigned char>(out, out + 8));
    EXPECT_EQ(hex_bytes(eeprom(), 100, 8), "a0 a1 a2 a3 a4 a5 a6 a7");
}

TEST_F(Mailbox, ExchangeAcknowledgesWithTheStatusWordItRead)
{
    start();
    unsigned char buf[4] = {};
    card.read_24cxx(20, 1, buf);
    auto t = trace();
    auto ack = std::find_if(t.begin(), t.end(),
                            [](const Event& e) { return e.what.rfind("WINDOW_WRITE 0x0c ", 0) == 0; });
    ASSERT_NE(ack, t.end());
    auto before = std::find_if(std::make_reverse_iterator(ack), t.rend(), [](const Event& e) {
        return e.what.rfind("WINDOW_READ 0x00 ", 0) == 0;
    });
    ASSERT_NE(before, t.rend());
    EXPECT_EQ(ack->what.substr(18), before->what.substr(17));
    EXPECT_EQ(std::stoul(before->what.substr(17), nullptr, 16) & 1, 0u);
    // every status read is preceded by a pause of 1 ms
    for (size_t i = 0; i < t.size(); ++i)
        if (t[i].what.rfind("WINDOW_READ 0x00 ", 0) == 0 && i + 1 < t.size() &&
            t[i + 1].what.rfind("WINDOW_READ 0x04", 0) != 0) {
            ASSERT_GT(i, 0u);
            EXPECT_EQ(t[i - 1].what, "SLEEP 0.001000000");
        }
}

TEST_F(Mailbox, ReceiverThatStaysBusyGivesUpAfterThePollLimit)
{
    start({"CARDSIM_FAULTS=receiver-busy"});
    unsigned char buf[4] = {};
    card.read_24cxx(20, 1, buf);

    EXPECT_EQ(printed(), " the receiver always busy !\n\r");
    auto t = trace();
    EXPECT_EQ(count(t, "SLEEP 0.001000000"), ravelins_polls);
    // the polls, then one more look at the busy bit
    EXPECT_EQ(int(events("WINDOW_READ 0x00").size()), ravelins_polls + 1);
    auto r = requests();
    ASSERT_GE(r.size(), 3u);
    // the last status word goes back as the acknowledge; no second phase
    EXPECT_EQ(r[r.size() - 2].substr(0, 18), "WINDOW_WRITE 0x0c ");
    EXPECT_EQ(r[r.size() - 2].substr(18), r[r.size() - 4].substr(17));
    EXPECT_EQ(r.back().substr(0, 16), "WINDOW_READ 0x04");
    EXPECT_NEAR(now(), ravelins_polls * 0.001, 1e-9);

    restart_as(zeb_program_ravelin, {"CARDSIM_FAULTS=receiver-busy"});
    card.read_24cxx(20, 1, buf);
    EXPECT_EQ(messages(), std::vector<std::string>{" the receiver always busy !"});
    EXPECT_EQ(count(trace(), "SLEEP 0.001000000"), 1000);
}

TEST_F(Mailbox, BusyReceiverOfABusyMicrocontrollerSaysSo)
{
    start({"CARDSIM_FAULTS=receiver-busy,busy-at-start", "CARDSIM_BUSY_TIME=5000"});
    unsigned char buf[4] = {};
    card.write_24cxx(22, 1, buf);
    EXPECT_EQ(printed(), sizeof(void*) == 4
                             ? " the receiver always busy !\n\rMCU status is busy!!!\n"
                             : " the receiver always busy !\n\rMC U status is busy!!!\n");

    restart_as(zeb_program_ravelin, {"CARDSIM_FAULTS=receiver-busy,busy-at-start", "CARDSIM_BUSY_TIME=5000"});
    card.write_24cxx(22, 1, buf);
    EXPECT_EQ(messages(), (std::vector<std::string>{" the receiver always busy !",
                                                    "MC U status is busy!!!"}));
}

TEST_F(Mailbox, CompletionThatNeverComesTimesOutAfterThePollLimit)
{
    start({"CARDSIM_FAULTS=no-completion"});
    unsigned char buf[4] = {};
    card.read_24cxx(20, 1, buf);
    EXPECT_EQ(printed(), " wait wt_24cxx_done timeout! \n\r");
    auto t = trace();
    auto ack = std::find_if(t.begin(), t.end(),
                            [](const Event& e) { return e.what.rfind("WINDOW_WRITE 0x0c ", 0) == 0; });
    ASSERT_NE(ack, t.end());
    EXPECT_EQ(count(std::vector<Event>(ack, t.end()), "SLEEP 0.001000000"), ravelins_polls);
    EXPECT_EQ(t.back().what.substr(0, 16), "WINDOW_READ 0x04");

    restart_as(zeb_program_ravelin, {"CARDSIM_FAULTS=no-completion"});
    card.read_24cxx(20, 1, buf);
    EXPECT_EQ(messages(), std::vector<std::string>{" wait wt_24cxx_done timeout! "});
}

TEST_F(Mailbox, FailedWriteIsReportedOnceAndStoresNothing)
{
    start({"CARDSIM_FAULTS=write-error"});
    unsigned char buf[4] = {1, 0, 0, 0};
    card.write_24cxx(22, 1, buf);
    select(zeb_program_ravelin);
    card.write_24cxx(22, 1, buf);
    EXPECT_EQ(messages(), (std::vector<std::string>{" write 24cxx parameter error!!! \n\r",
                                                    " write 24cxx parameter error!!! \n\r"}));
    EXPECT_EQ(printed(), " write 24cxx parameter error!!! \n\r write 24cxx parameter error!!! \n\r");
    EXPECT_EQ(eeprom()[22], 0);
    EXPECT_EQ(events("WINDOW_WRITE 0x00").size(), 2u);
}

TEST_F(Mailbox, MicrocontrollerCommandsCarryTheirOpcodeAndAddress)
{
    start();
    unsigned char buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    card.mcu_software_reset();
    card.erase_mcu(0x1234);
    card.write_mcu(0x1234, buf);
    card.read_mcu(0x1234, buf);
    std::vector<std::string> words;
    for (const auto& e : events("WINDOW_WRITE 0x0"))
        if (e.what.rfind("WINDOW_WRITE 0x0c", 0) != 0)
            words.push_back(e.what);
    EXPECT_EQ(words, (std::vector<std::string>{
                         "WINDOW_WRITE 0x00 0x00000003",
                         "WINDOW_WRITE 0x00 0x34120000",
                         "WINDOW_WRITE 0x04 0x04030201",
                         "WINDOW_WRITE 0x08 0x08070605",
                         "WINDOW_WRITE 0x00 0x34120802",
                         "WINDOW_WRITE 0x00 0x34120801",
                     }));
    auto r = requests();
    EXPECT_EQ(r[r.size() - 2].substr(0, 16), "WINDOW_READ 0x04");
    EXPECT_EQ(r.back().substr(0, 16), "WINDOW_READ 0x08");
}

TEST_F(Mailbox, RegisterReadThatFailsIsLoggedOnlyByTheWindowProgram)
{
    start({"CARDSIM_FAULTS=reg-read-fail"});
    card.zeb_read(0x48);
    EXPECT_EQ(printed(), "");
    select(zeb_program_ravelin);
    card.zeb_read(0x48);
    card.zeb_read(0x4C);
    EXPECT_EQ(messages(), (std::vector<std::string>{"read eror ", "read eror "}));
    EXPECT_EQ(events("REG_READ").size(), 3u);
}

}  // namespace
