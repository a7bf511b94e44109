// SPDX-License-Identifier: GPL-2.0-or-later
// The simulated card served in the test's own process by the linked
// libcardsim.so, for every test folder: a fresh state folder, the card's
// settings from a clean environment, and the card's stored images.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// Every CARDSIM_* variable that sets up the card: one per row of the
// simulator's setting_table. A test starts from none of them, whatever the
// test before it or the caller's environment set.
std::vector<std::string> card_settings();
void clear_card_settings();

class SimState {
public:
    // A fresh empty state folder under the test's temporary folder ("ravelin-<tag>-..."),
    // removed when the test program exits.
    explicit SimState(const std::string& tag);

    const std::string& dir() const { return dir_; }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // Serves the card of this folder in this process: clears every card
    // setting, sets CARDSIM_STATE to the folder and CARDSIM_REQUEST_TIME to 0
    // (the programs' own waits, to the nanosecond), then `settings`
    // ("CARDSIM_NAME=value") in order. "" or why the interposer refused.
    std::string start(const std::vector<std::string>& settings = {}) const;

    // The whole EEPROM, to start with (before start()) or as stored.
    void set_eeprom(const std::vector<unsigned char>& image) const;
    std::vector<unsigned char> eeprom() const;
    // A state file as it is stored; "" when there is none.
    std::string file(const std::string& name) const;

private:
    std::string dir_;
};

// Virtual seconds of the card's clock in this process.
double card_now();

// A new card's EEPROM with automatic mode off and `preset` stored (0: none).
std::vector<unsigned char> manual_eeprom(int preset);

// A new card's EEPROM holding a stored advanced configuration: the entry
// count and the encoder register entries with these values, automatic off.
std::vector<unsigned char> advanced_eeprom(const int (&values)[11]);

}  // namespace testsupport
