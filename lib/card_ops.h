// SPDX-License-Identifier: GPL-2.0-or-later
// The reset procedures and output modes that both programs run on a card, in
// the order and with the texts of the selected program (zeb_program.h).
#pragma once

#include "zebecp3-spi.h"

// Restarts the capture logic and waits until the microcontroller is idle.
// Returns the busy rounds of 2 seconds counted; 100 when it gave up.
int software_reset(zebecp3& card);

// Resets the microcontroller and waits until it is idle. Returns the busy
// rounds counted; 100 when it gave up.
int mcu_reset(zebecp3& card);

// The output modes, each stored at EEPROM 20 and 21 and applied to the card.
// A wait that gives up, a failed request or write is noted in the calling
// thread's status record (zeb_status.h).
void output_auto(zebecp3& card);
void output_manual(zebecp3& card, int preset);
void output_advanced(zebecp3& card, advice_number a);
