// SPDX-License-Identifier: GPL-2.0-or-later
// The window program's card object: one frontend node, its card access object
// and the procedures the window and its worker run on the card.
#pragma once

#include "zebecp3-spi.h"

class hdmi {
public:
    int hdmi_fd;
    int rst_count;
    unsigned char para_byte[4];
    char dev_name[128];
    zebecp3 card;

    int hdmi_open(int adapter, int frontend);
    int hdmi_close(int fd);
    void hdmi_getCaptureformat(unsigned short* out);
    void hdmi_getOutputformat(int* regs, unsigned char* mode);
    int hdmi_setMute(int mute);
    int hdmi_setPorgname(unsigned char* name);
    int hdmi_softWareRST();
    int hdmi_mcuRST();
    int hdmi_autoMode();
    int hdmi_manualMode(int preset);
    int hdmi_advancedMode(advice_number a);
};

// Makes the card access library speak as the window program: its texts and
// waits, and every message one call of Qt's debug logger. main calls it
// before the window exists; until then the library prints nothing.
void hdmi_select_program();
