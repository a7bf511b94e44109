// SPDX-License-Identifier: GPL-2.0-or-later
// A simulated card served in-process by the interposer linked into the test:
// the library's open, ioctl and sleeps reach the model, in virtual time.
#pragma once

#include "zeb_program.h"
#include "zebecp3-spi.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

struct Event {
    double time;       // virtual seconds
    std::string what;  // "REG_WRITE 0x44 0x00000001", "SLEEP 2.000000000", ...
};

class SimCard : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the card with CARDSIM_* settings ("CARDSIM_FAULTS=write-error")
    // and opens adapter 0, frontend 0. Unless the settings say otherwise, the
    // card and its flash are idle right after a restart, an erase or a program. eeprom: the whole EEPROM to start with,
    // or empty for a new card.
    void start(const std::vector<std::string>& settings = {},
               const std::vector<unsigned char>& eeprom = {});
    // Speaks as that program; its messages are captured.
    void select(const zeb_program& program);
    // A new start, as that program, with no messages captured yet.
    void restart_as(const zeb_program& program, const std::vector<std::string>& settings = {},
                    const std::vector<unsigned char>& eeprom = {});
    // Forgets the messages captured so far.
    void clear_messages();

    // A new card's EEPROM with some bytes changed.
    static std::vector<unsigned char> eeprom_with(
        const std::vector<std::pair<int, std::vector<unsigned char>>>& changes);

    // What the command-line tool would have printed.
    std::string printed() const;
    // Message texts as handed to the sink, one per message.
    std::vector<std::string> messages() const;
    // The virtual time at which each message was handed to the sink.
    std::vector<double> message_times() const;

    std::vector<unsigned char> eeprom() const;
    std::vector<Event> trace() const;
    // The trace's requests only (no sleeps, opens or closes).
    std::vector<std::string> requests() const;
    // The trace's events whose text starts with `prefix`.
    std::vector<Event> events(const std::string& prefix) const;
    // Virtual seconds since the card was started.
    double now() const;

    std::string dir;
    zebecp3 card{};
};

std::string hex_bytes(const std::vector<unsigned char>& bytes, int from, int count);
