// SPDX-License-Identifier: GPL-2.0-or-later
// What the library tells its caller beside its messages: the status record of
// the calling thread and the observer's events. The messages and requests
// stay those of the programs.
#include "card_ops.h"
#include "sim_card.h"
#include "zeb_status.h"

#include <cerrno>
#include <thread>

namespace {

// The record of the test's thread starts empty, whatever ran before.
class Status : public SimCard {
protected:
    void SetUp() override
    {
        SimCard::SetUp();
        zeb_take_status();
    }
};

// Every event of the test's thread, in order.
struct Seen {
    std::vector<zeb_event> events;
    static void record(const zeb_event& e, void* context) { static_cast<Seen*>(context)->events.push_back(e); }
};

class Observed : public Status {
protected:
    void SetUp() override
    {
        Status::SetUp();
        zeb_observe(Seen::record, &seen);
    }
    void TearDown() override
    {
        zeb_observe(nullptr, nullptr);
        SimCard::TearDown();
    }
    Seen seen;
};

TEST_F(Status, AnOperationThatWorkedLeavesAnEmptyRecord)
{
    start();
    unsigned char buf[8] = {};
    card.read_24cxx(8, 6, buf);
    output_manual(card, 3);
    EXPECT_TRUE(zeb_take_status().ok());
}

TEST_F(Status, FailedRequestsCarryTheirErrnoAndTheMessagesStayAsTheyWere)
{
    start({"CARDSIM_FAULTS=reg-read-fail"});
    unsigned short format[4];
    card.GetCaptureFormat(format);
    EXPECT_EQ(printed(), "input format:\nVRow= 0, VColumn= 0, VFreq= 0, VScan= 0\n");
    const zeb_status s = zeb_take_status();
    EXPECT_EQ(s.failures, 2);
    EXPECT_EQ(s.first.kind, zeb_event_kind::request_failed);
    EXPECT_EQ(s.first.request, zeb_request::reg_read);
    EXPECT_EQ(s.first.address, 0x48u);
    EXPECT_EQ(s.first.error, EIO);
    EXPECT_TRUE(zeb_take_status().ok());  // taking it starts a new one

    // a descriptor the driver does not know fails every request, with the
    // errno the system gives (EBADF, or ENOSYS from qemu-i386)
    reg_record probe{};
    ASSERT_LT(ioctl(-1, REG_WRITE, &probe), 0);
    const int expected = errno;
    card.setFrontend(-1);
    card.zeb_write(0x44, 1);
    card.zeb_24cxx_wr(12, 5);
    card.zeb_24cxx_rd(4);
    const zeb_status bad = zeb_take_status();
    EXPECT_EQ(bad.failures, 3);
    EXPECT_EQ(bad.first.request, zeb_request::reg_write);
    EXPECT_EQ(bad.first.error, expected);
}

TEST_F(Status, MailboxPhasesAndWriteFailuresNameTheirCommand)
{
    start({"CARDSIM_FAULTS=receiver-busy"});
    unsigned char buf[8] = {};
    card.read_24cxx(8, 6, buf);
    zeb_status s = zeb_take_status();
    EXPECT_EQ(s.failures, 1);
    EXPECT_EQ(s.first.kind, zeb_event_kind::receiver_busy);
    EXPECT_EQ(s.first.command, 0x08000631u);

    restart_as(zeb_program_ravelins, {"CARDSIM_FAULTS=no-completion"});
    card.setMute(1);
    s = zeb_take_status();
    EXPECT_EQ(s.first.kind, zeb_event_kind::no_completion);
    EXPECT_EQ(s.first.command, 0x16000130u);

    restart_as(zeb_program_ravelins, {"CARDSIM_FAULTS=write-error"});
    card.setprogname(reinterpret_cast<unsigned char*>(const_cast<char*>("ab")));
    EXPECT_EQ(printed(), " write 24cxx parameter error!!! \n\r"
                         " write 24cxx parameter error!!! \n\r"
                         " write 24cxx parameter error!!! \n\r"
                         " write 24cxx parameter error!!! \n\r"
                         "Format is setting, please wait...\nFormat is set OK!\n");
    s = zeb_take_status();
    EXPECT_EQ(s.failures, 4);
    EXPECT_EQ(s.first.kind, zeb_event_kind::write_failed);
    EXPECT_EQ(s.first.command, 0x12000130u);  // the first write, at 18

    // refusals that send nothing are failures too
    card.read_24cxx(8, 9, buf);
    std::string long_name(161, 'n');
    card.setprogname(reinterpret_cast<unsigned char*>(long_name.data()));
    s = zeb_take_status();
    EXPECT_EQ(s.failures, 2);
    EXPECT_EQ(s.first.kind, zeb_event_kind::count_refused);
}

TEST_F(Observed, LongWaitsReportEachRoundAndTheirEnd)
{
    start({"CARDSIM_FAULTS=busy=forever"});
    card.worksetreset();
    ASSERT_EQ(seen.events.size(), 101u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(seen.events[i].kind, zeb_event_kind::wait_round);
        EXPECT_EQ(seen.events[i].wait, zeb_wait_kind::capture_restart);
        EXPECT_EQ(seen.events[i].round, i + 1);
        EXPECT_EQ(seen.events[i].rounds, 100);
    }
    EXPECT_EQ(seen.events[100].kind, zeb_event_kind::wait_ran_out);
    const zeb_status s = zeb_take_status();
    EXPECT_EQ(s.failures, 1);  // the rounds are progress, not failures
    EXPECT_EQ(s.first.kind, zeb_event_kind::wait_ran_out);

    seen.events.clear();
    EXPECT_EQ(mcu_reset(card), 100);
    EXPECT_EQ(seen.events.back().kind, zeb_event_kind::wait_ran_out);
    EXPECT_EQ(seen.events.back().wait, zeb_wait_kind::mcu_reset);

    // the window program's reset looks first and counts its own way
    restart_as(zeb_program_ravelin, {"CARDSIM_FAULTS=busy=forever"});
    seen.events.clear();
    zeb_take_status();
    EXPECT_EQ(software_reset(card), 100);
    ASSERT_FALSE(seen.events.empty());
    EXPECT_EQ(seen.events.back().kind, zeb_event_kind::wait_ran_out);
    EXPECT_EQ(seen.events.back().wait, zeb_wait_kind::software_reset);
    EXPECT_EQ(zeb_take_status().failures, 1);
}

TEST_F(Observed, AWaitThatEndsInTimeIsNoFailure)
{
    start({"CARDSIM_BUSY_TIME=5"});
    EXPECT_EQ(software_reset(card), 2);
    ASSERT_EQ(seen.events.size(), 2u);
    EXPECT_EQ(seen.events[1].round, 2);
    EXPECT_TRUE(zeb_take_status().ok());
}

TEST_F(Observed, EachThreadHasItsOwnRecordAndObserver)
{
    start({"CARDSIM_FAULTS=reg-read-fail"});
    zeb_status other;
    std::thread worker([&] {
        card.zeb_read(0x48);
        other = zeb_take_status();
    });
    worker.join();
    EXPECT_EQ(other.failures, 1);
    EXPECT_TRUE(seen.events.empty());
    EXPECT_TRUE(zeb_take_status().ok());
}

}  // namespace
