// One card command on a thread of its own, so that the window stays responsive
// through the card's multi-second waits.
#pragma once

#include <QThread>

#include "hdmi_format.h"

// The command record the window fills and hands to each worker by value.
struct argmsg {
    int cmd;             // 0 none, 1 auto, 2 manual, 3 advanced, 4 program name, 5 software reset
    char progName[20];   // Latin-1, zero-terminated
    int manualNum;       // quality preset 1..7
    advice_number advice;
    bool muteNum;
    int frontend;
    int adapter;
};

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
