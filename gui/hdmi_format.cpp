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

// The one-byte parameter writes send para_byte as a whole word; its other
// three bytes go to the driver too, so they must not be leftover memory.
static void clear_para_byte(unsigned char* para_byte)
{
    memset(para_byte, 0, 4);
}

int hdmi::hdmi_autoMode()
{
    clear_para_byte(para_byte);
    output_auto(card, para_byte);
    return 0;
}

int hdmi::hdmi_manualMode(int preset)
{
    clear_para_byte(para_byte);
    output_manual(card, para_byte, preset);
    return 0;
}

int hdmi::hdmi_advancedMode(advice_number a)
{
    clear_para_byte(para_byte);
    output_advanced(card, para_byte, a);
    return 0;
}
