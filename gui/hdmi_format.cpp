// SPDX-License-Identifier: GPL-2.0-or-later
#include "hdmi_format.h"

#include <QtGlobal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "card_ops.h"
#include "zeb_card.h"
#include "zeb_program.h"

static void log_to_qt(const char* text, bool /*line*/)
{
    // The logger ends every message with its own line break.
    qDebug("%s", text);
}

void hdmi_select_program() { zeb_select_program(zeb_program_ravelin, log_to_qt); }

int hdmi::hdmi_open(int adapter, int frontend)
{
    zeb_node_path(dev_name, sizeof dev_name, adapter, frontend);
    hdmi_fd = open(dev_name, O_RDWR | O_NONBLOCK);
    card.setFrontend(hdmi_fd);
    return hdmi_fd;
}

int hdmi::hdmi_close(int fd)
{
    close(fd);
    return 0;
}

void hdmi::hdmi_getCaptureformat(unsigned short* out)
{
    card.GetCaptureFormat(out);
}

void hdmi::hdmi_getOutputformat(int* regs, unsigned char* mode)
{
    card.getoutputformat(regs, mode);
}

int hdmi::hdmi_setMute(int mute)
{
    card.setMute(mute);
    return 0;
}

int hdmi::hdmi_setPorgname(unsigned char* name)
{
    card.setprogname(name);
    return 0;
}

int hdmi::hdmi_softWareRST()
{
    rst_count = software_reset(card);
    return 0;
}

int hdmi::hdmi_mcuRST()
{
    rst_count = mcu_reset(card);
    return 0;
}

int hdmi::hdmi_autoMode()
{
    output_auto(card);
    return 0;
}

int hdmi::hdmi_manualMode(int preset)
{
    output_manual(card, preset);
    return 0;
}

int hdmi::hdmi_advancedMode(advice_number a)
{
    output_advanced(card, a);
    return 0;
}
