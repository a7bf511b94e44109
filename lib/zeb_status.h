// SPDX-License-Identifier: GPL-2.0-or-later
// What happened on the card, for callers that must know: the operations keep
// their signatures and messages, and beside them note every failure in the
// calling thread's status record and hand every event (failures and the
// rounds of the long waits) to the thread's observer, if one is set.
#pragma once

enum class zeb_event_kind {
    request_failed,    // a request returned an error: request, address, error
    receiver_busy,     // mailbox phase 1 ran out: the card never took command
    no_completion,     // mailbox phase 2 ran out: the command never completed
    write_failed,      // the card reported an EEPROM write failure for command
    count_refused,     // a mailbox transfer of 0 or more than 8 bytes: nothing sent
    name_refused,      // a program name longer than the name area: nothing sent
    wait_round,        // one round of a restart wait found the card busy (progress)
    wait_ran_out,      // a restart wait gave up with the card still busy
    spi_busy,          // the SPI flash controller never reported free
};

enum class zeb_request { reg_read, reg_write, window_read, window_write };

enum class zeb_wait_kind { capture_restart, software_reset, mcu_reset };

struct zeb_event {
    zeb_event_kind kind;
    zeb_request request;   // request_failed
    unsigned int address;  // request_failed: register or window offset
    int error;             // request_failed: errno
    unsigned int command;  // mailbox events: the command word last sent
    zeb_wait_kind wait;    // wait_round, wait_ran_out
    int round;             // wait_round: rounds done so far (1 up)
    int rounds;            // wait_round, wait_ran_out: the limit
};

// Whether an event means the operation did not do what it was asked.
constexpr bool zeb_is_failure(zeb_event_kind kind) { return kind != zeb_event_kind::wait_round; }

// The failures since the record was last taken, on the calling thread.
struct zeb_status {
    int failures = 0;
    zeb_event first{};  // the first of them
    bool ok() const { return failures == 0; }
};

// Returns the calling thread's record and starts a new, empty one.
zeb_status zeb_take_status();

// Every event of the calling thread goes to observer (null: none).
using zeb_observer = void (*)(const zeb_event& event, void* context);
void zeb_observe(zeb_observer observer, void* context);

namespace zeb_detail {
void note(const zeb_event& event);
void note_command(unsigned int command);
unsigned int last_command();
// A round of a restart wait (round counts from 1), or its end without the card.
void note_wait(zeb_event_kind kind, zeb_wait_kind wait, int round);
}  // namespace zeb_detail
