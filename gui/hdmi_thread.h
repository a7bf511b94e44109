// SPDX-License-Identifier: GPL-2.0-or-later
// One card command on a thread of its own, so that the window stays responsive
// through the card's multi-second waits.
#pragma once

#include <QThread>
#include <cstddef>

#include "hdmi_format.h"

// What a worker does, in argmsg::cmd.
enum argmsg_command : int {
    cmd_none = 0,
    cmd_auto = 1,
    cmd_manual = 2,
    cmd_advanced = 3,
    cmd_progname = 4,
    cmd_software_reset = 5,
};

// The command record the window fills and hands to each worker by value.
struct argmsg {
    int cmd;             // an argmsg_command
    char progName[20];   // Latin-1, zero-terminated
    int manualNum;       // quality preset 1..7
    advice_number advice;
    bool muteNum;
    int frontend;
    int adapter;
};
static_assert(sizeof(argmsg) == 64 && offsetof(argmsg, progName) == 4 &&
                  offsetof(argmsg, manualNum) == 24 && offsetof(argmsg, advice) == 28 &&
                  offsetof(argmsg, muteNum) == 52 && offsetof(argmsg, frontend) == 56 &&
                  offsetof(argmsg, adapter) == 60,
              "argmsg layout");

class hdmi_thread : public QThread {
    Q_OBJECT
public:
    argmsg msg;
    hdmi hdmiDev;
    int fd;

    hdmi_thread();
    ~hdmi_thread() override;

    void getWidgetArg(argmsg arg);
    void run() override;
};
