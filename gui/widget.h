// SPDX-License-Identifier: GPL-2.0-or-later
// The main window: chooses the capture input, shows its formats and hands
// every card command to a worker thread.
#pragma once

#include <QWidget>
#include <cstdio>

#include "hdmi_format.h"
#include "hdmi_thread.h"

QT_BEGIN_NAMESPACE
namespace Ui {
class Widget;
}
QT_END_NAMESPACE

class Widget : public QWidget {
    Q_OBJECT

public:
    explicit Widget(QWidget* parent = nullptr);
    ~Widget() override;

private slots:
    void on_checkAFButton_clicked();
    void on_getInputButton_clicked();
    void on_getOutputButton_clicked();
    void on_autoModeButton_clicked();
    void on_manualButton_clicked();
    void on_advancedButton_clicked();
    void on_muteCheckBox_clicked(bool check);
    void on_setButton_clicked();
    void on_hardwareRestButton_clicked();
    void on_setFormatButton_clicked();
    void on_superButton_clicked();
    void on_ultraButton_clicked();
    void on_excellentButton_clicked();
    void on_goodButton_clicked();
    void on_fairButton_clicked();
    void on_poorButton_clicked();
    void on_mobileButton_clicked();
    void init_UI();
    void getHardwareInfor();
    bool is_capture();

public slots:
    void showText();

private:
    Ui::Widget* ui;
    hdmi_thread* hdmiThread;
    hdmi hdmiDev;
    argmsg argMsg;
    int fd;
    int setFormatCount;
    FILE* hwFile;
    char hwBuf[128];
    bool captureFlag;
    bool busy;

    void blank_status();
    void select_preset(int preset);
    void choose_mode(int cmd, bool presets, bool advanced);
    void enable_presets(bool on);
    void enable_advanced(bool on);
    void read_advanced_controls();
    void show_output_format(const int* regs, const unsigned char* mode);
    void start_command();

    // The tests look at the window's state directly.
    friend class WidgetTest;
};
