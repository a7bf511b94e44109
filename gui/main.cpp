// SPDX-License-Identifier: GPL-2.0-or-later
#include <QApplication>

#include "hdmi_format.h"
#include "widget.h"

int main(int argc, char* argv[])
{
    hdmi_select_program();
    QApplication a(argc, argv);
    Widget w;
    w.show();
    return a.exec();
}
