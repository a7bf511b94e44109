// SPDX-License-Identifier: GPL-2.0-or-later
// A simulated card served in-process by the interposer linked into the test:
// the library's open, ioctl and sleeps reach the model, in virtual time.
#pragma once

#include "sim_test.h"
#include "zeb_program.h"
#include "zebecp3-spi.h"

#include <string>
#include <vector>

using testsupport::eeprom_with;
using testsupport::Event;
using testsupport::hex_bytes;

class SimCard : public SimStateTest {
protected:
    SimCard() : SimStateTest("lib") {}
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

    // What the command-line tool would have printed.
    std::string printed() const;
    // Message texts as handed to the sink, one per message.
    std::vector<std::string> messages() const;
    // The virtual time at which each message was handed to the sink.
    std::vector<double> message_times() const;

    zebecp3 card{};
};
