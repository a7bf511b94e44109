#include <QApplication>

#include "hdmi_format.h"
#include "widget.h"

int main(int argc, char* argv[])
{
    QApplication a(argc, argv);
    hdmi_select_program();
    Widget w;
    w.show();
    return a.exec();
}
