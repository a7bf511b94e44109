// SPDX-License-Identifier: GPL-2.0-or-later
// The faults the simulated card can be given: one table that the parser, the
// formatter, `cardsim --help` and `cardsim --list-faults` all read.
#pragma once

#include <cstdint>
#include <string>

namespace cardsim {

constexpr uint64_t forever = UINT64_MAX;

struct fault_set {
    bool receiver_busy = false;
    bool no_completion = false;
    bool write_error = false;
    bool busy_set = false;      // busy=N or busy=forever given
    uint64_t busy_rounds = 0;   // forever: never idle
    bool busy_at_start = false;
    bool reg_read_fail = false;
    uint64_t latency = 1;
    bool spi_busy = false;
    uint64_t spi_busy_after = forever;  // transfers served before the controller sticks busy
    uint64_t spi_busy_polls = 0;         // reads of register 0x10 that show busy after each transfer
    bool flash_stuck = false;
    bool other_driver = false;
};

// One spelling of a fault. A row with `value` "N" takes a number up to `max`;
// "forever" is that word; nullptr takes no value. A flag row sets `flag`; a
// number row stores into `number` (and sets `flag` when it has one).
struct fault_spec {
    const char* name;
    const char* value;
    const char* help;  // lines of --help, "\n" between them
    bool fault_set::*flag;
    uint64_t fault_set::*number;
    uint64_t max;
    uint64_t unset;   // `number` when the fault is not given
    const char* unit;  // what N counts, for the error text
};

extern const fault_spec fault_table[];
extern const unsigned fault_count;

// "busy=N", "flash-stuck": the spelling a person types.
std::string fault_label(const fault_spec& f);

std::string parse_fault(const std::string& text, fault_set& out);
std::string parse_faults(const std::string& text, fault_set& out);  // comma-separated
std::string format_faults(const fault_set& f);

// The "Faults:" section of --help, and one label a line for --list-faults.
std::string faults_help();
std::string faults_list();

}  // namespace cardsim
