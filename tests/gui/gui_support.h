// SPDX-License-Identifier: GPL-2.0-or-later
// Shared pieces of the window program's tests: the simulated card in this
// process, the detection file in a scratch working folder, the captured debug
// log, and a look at the window's private state.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QObject>
#include <QString>
#include <QStringList>
#include <string>
#include <vector>

#include "sim_state.h"
#include "widget.h"

namespace guitest {

// A fresh simulated card in its own state folder, served in this process.
// env: extra CARDSIM_* settings ("NAME=value"); the others are cleared.
class SimCard {
public:
    explicit SimCard(const std::string& tag, const std::vector<std::string>& env = {});
    SimCard(const SimCard&) = delete;
    SimCard& operator=(const SimCard&) = delete;

    const std::string& dir() const { return state_.dir(); }

    // A new card's EEPROM: MAC 00:1a:2b:3c:4d:5e, 0x60 at 18, automatic mode.
    static std::vector<unsigned char> factory_eeprom();
    // Stores an EEPROM image as the card's state (before the card is used).
    void set_eeprom(const std::vector<unsigned char>& image);
    std::vector<unsigned char> eeprom() const;
    std::string registers() const;

private:
    testsupport::SimState state_;
};

// EEPROM image of a stored advanced configuration: the entry count 11 and the
// eleven register entries (address, value) as the card keeps them.
std::vector<unsigned char> advanced_eeprom(const int (&values)[11]);

// Runs the test in a scratch working folder holding "log2" (or none).
class WorkingFolder {
public:
    explicit WorkingFolder(const char* log2, size_t size);
    explicit WorkingFolder(const std::string& log2) : WorkingFolder(log2.data(), log2.size()) {}
    WorkingFolder();  // no "log2"
    ~WorkingFolder();
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;

private:
    std::string previous_;
};

// The window's child of that name; a missing one ends the test program.
template <class T = QWidget>
T* child(Widget& w, const QString& name)
{
    T* c = w.findChild<T*>(name);
    if (!c)
        qFatal("no child %s", qPrintable(name));
    return c;
}

// The text of a label or line edit of the window.
inline QString text(Widget& w, const QString& name)
{
    if (auto* l = w.findChild<QLabel*>(name))
        return l->text();
    return child<QLineEdit>(w, name)->text();
}

// Every message given to Qt's debug logger, in order, from any thread.
namespace log {
void install();
QStringList messages();
void clear();
// The next message logged by a thread other than the GUI thread stops that
// thread until release(): a worker held in the middle of its command.
void hold_next_worker_message();
// Blocks until the worker is held; false when it was not within timeout_ms.
bool wait_until_worker_held(int timeout_ms);
void release();
}  // namespace log

// The base of the window program's test classes: speaks as the window program
// does from its main, captures the log, and starts every test with an empty
// log and ends it with no worker held.
class WindowProgramTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
};

}  // namespace guitest

// Friend of Widget: the tests read and call what the window keeps private.
struct WidgetTest {
    static int fd(const Widget& w) { return w.fd; }
    static bool busy(const Widget& w) { return w.busy; }
    static bool captureFlag(const Widget& w) { return w.captureFlag; }
    static int setFormatCount(const Widget& w) { return w.setFormatCount; }
    static const argmsg& argMsg(const Widget& w) { return w.argMsg; }
    static hdmi_thread* worker(const Widget& w) { return w.hdmiThread; }
    static QByteArray hwBuf(const Widget& w) { return QByteArray(w.hwBuf, sizeof w.hwBuf); }
    static QString devName(const Widget& w) { return QString(w.hdmiDev.dev_name); }
    static bool is_capture(Widget& w) { return w.is_capture(); }
};
