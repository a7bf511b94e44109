// SPDX-License-Identifier: GPL-2.0-or-later
// Where both programs reach the card, where it keeps what they read and
// write, and how long the library waits for it: each path, address and limit once.
#pragma once

#include <cstddef>
#include <cstdio>

// The frontend node of an adapter and frontend number, as both programs open it.
inline void zeb_node_path(char* out, std::size_t size, int adapter, int frontend)
{
    std::snprintf(out, size, "/dev/dvb/adapter%d/frontend%d", adapter, frontend);
}

// Parameter EEPROM layout (byte addresses).
namespace zeb_eeprom {
constexpr unsigned char mac = 8;  // six bytes
constexpr unsigned char mac_length = 6;
constexpr unsigned char entry_count = 16;  // two bytes, 0 then the count
constexpr unsigned char name_start = 18;   // where the program name begins
constexpr unsigned char name_length = 19;
constexpr unsigned char auto_flag = 20;
constexpr unsigned char preset = 21;
constexpr unsigned char mute = 22;
constexpr unsigned char entries = 32;  // encoder entries: address, value; two bytes each
constexpr unsigned int name = 96;
constexpr unsigned int name_max = 256 - name;  // the name area ends at the last address

// The encoder register entries that an advanced setting stores.
constexpr int encoder_entries = 11;
}  // namespace zeb_eeprom

// The waits for the card after a restart of its capture logic or of its
// microcontroller: rounds of a plain sleep, then the library gives up silently.
namespace zeb_wait {
constexpr int restart_rounds = 100;
constexpr unsigned int restart_round_seconds = 2;
}  // namespace zeb_wait
