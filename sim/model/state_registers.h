// SPDX-License-Identifier: GPL-2.0-or-later
// The last values written to the registers that set the output format
// (0x48 and 0x4C): the file "registers" in the state folder, one line
// "0x48 0x%08x" per register.
#pragma once

#include "state_lock.h"

#include <cstdint>
#include <map>
#include <string>

namespace cardsim {

// The last value written to each register the folder keeps, by address.
using saved_registers = std::map<uint8_t, uint32_t>;
// The registers whose last written value the folder keeps: the two that set the output format.
bool register_saved(unsigned addr);

// What the folder keeps; none when the folder or the file is missing. "" or what is wrong.
std::string load_registers(state_folder& folder, saved_registers& out);
// Keeps `value` as the last written to `addr`, under the card's lock.
std::string save_register(state_folder& folder, card_lock& lock, unsigned addr, uint32_t value);

}  // namespace cardsim
