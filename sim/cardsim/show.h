// SPDX-License-Identifier: GPL-2.0-or-later
// The card's stored state, decoded for a person.
#pragma once

#include "config.h"
#include "state.h"

#include <string>
#include <vector>

namespace cardsim {

// `eeprom` is the 256-byte image; `flash` the flash image or nullptr when there is none;
// `unknown` the accesses the card did not know.
std::string describe_state(const std::string& dir, const unsigned char* eeprom, bool new_card,
                           const saved_registers& regs, const unsigned char* flash,
                           const std::vector<std::string>& unknown, const sim_config& config);

}  // namespace cardsim
