// SPDX-License-Identifier: GPL-2.0-or-later
#include "hdmi_thread.h"

hdmi_thread::hdmi_thread() : QThread(nullptr), msg(), hdmiDev(), fd(0) {}

hdmi_thread::~hdmi_thread()
{
    quit();
    wait();
    if (fd > 2)
        hdmiDev.hdmi_close(fd);
}

void hdmi_thread::getWidgetArg(argmsg arg)
{
    msg.cmd = arg.cmd;
    msg.manualNum = arg.manualNum;
    msg.advice = arg.advice;
    msg.muteNum = arg.muteNum;
    msg.frontend = arg.frontend;
    msg.adapter = arg.adapter;

    int i = 0;
    for (; i < int(sizeof msg.progName) - 1 && arg.progName[i] != '\0'; ++i)
        msg.progName[i] = arg.progName[i];
    msg.progName[i] = '\0';
}

void hdmi_thread::run()
{
    fd = hdmiDev.hdmi_open(msg.adapter, msg.frontend);
    if (fd > 2) {
        // Every command also stores the mute choice last recorded by the window.
        hdmiDev.hdmi_setMute(msg.muteNum);
        switch (msg.cmd) {
        case cmd_auto:
            hdmiDev.hdmi_autoMode();
            break;
        case cmd_manual:
            hdmiDev.hdmi_manualMode(msg.manualNum);
            break;
        case cmd_advanced:
            hdmiDev.hdmi_advancedMode(msg.advice);
            break;
        case cmd_progname:
            hdmiDev.hdmi_setPorgname(reinterpret_cast<unsigned char*>(msg.progName));
            break;
        case cmd_software_reset:
            hdmiDev.hdmi_softWareRST();
            break;
        default:
            break;
        }
        hdmiDev.hdmi_close(fd);
    }
    fd = 0;
}
