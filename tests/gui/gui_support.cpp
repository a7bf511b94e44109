// SPDX-License-Identifier: GPL-2.0-or-later
#include "gui_support.h"

#include <QCoreApplication>
#include <QMutex>
#include <QDeadlineTimer>
#include <QThread>
#include <QWaitCondition>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

#include "cardsim_api.h"
#include "run.h"
#include "sim_state.h"

namespace guitest {

SimCard::SimCard(const std::string& tag, const std::vector<std::string>& env) : state_(tag)
{
    std::string err = state_.start(env);
    if (!err.empty())
        throw std::runtime_error(err);
}

std::vector<unsigned char> SimCard::factory_eeprom()
{
    return testsupport::factory_eeprom();
}

void SimCard::set_eeprom(const std::vector<unsigned char>& image)
{
    state_.set_eeprom(image);
    if (cardsim_reload() != 0)
        throw std::runtime_error("cardsim_reload failed for " + dir());
}

std::vector<unsigned char> SimCard::eeprom() const { return state_.eeprom(); }

std::string SimCard::registers() const { return state_.file("registers"); }

std::vector<unsigned char> advanced_eeprom(const int (&values)[11])
{
    return testsupport::advanced_eeprom(values);
}

WorkingFolder::WorkingFolder()
{
    char* cwd = getcwd(nullptr, 0);
    previous_ = cwd;
    free(cwd);
    const std::string dir = testsupport::make_temp_dir("cwd");
    if (chdir(dir.c_str()) != 0)
        throw std::runtime_error("cannot enter " + dir);
}

WorkingFolder::WorkingFolder(const char* log2, size_t size) : WorkingFolder()
{
    std::ofstream out("log2", std::ios::binary | std::ios::trunc);
    out.write(log2, std::streamsize(size));
}

WorkingFolder::~WorkingFolder()
{
    if (chdir(previous_.c_str()) != 0)
        perror(previous_.c_str());
}

namespace log {
namespace {

QMutex mutex;
QStringList captured;

// The hold of a worker: armed by the test, taken by the worker's next
// message, ended by release().
enum class hold_state { idle, armed, holding };
QMutex hold_mutex;
QWaitCondition hold_changed;
hold_state hold = hold_state::idle;

void handler(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type != QtDebugMsg) {
        fprintf(stderr, "%s\n", qPrintable(text));
        return;
    }
    {
        QMutexLocker lock(&mutex);
        captured << text;
    }
    if (QThread::currentThread() == QCoreApplication::instance()->thread())
        return;
    QMutexLocker lock(&hold_mutex);
    if (hold != hold_state::armed)
        return;
    hold = hold_state::holding;
    hold_changed.wakeAll();
    while (hold == hold_state::holding)
        hold_changed.wait(&hold_mutex);
}

}  // namespace

void install() { qInstallMessageHandler(handler); }

QStringList messages()
{
    QMutexLocker lock(&mutex);
    return captured;
}

void clear()
{
    QMutexLocker lock(&mutex);
    captured.clear();
}

void hold_next_worker_message()
{
    QMutexLocker lock(&hold_mutex);
    hold = hold_state::armed;
}

bool wait_until_worker_held(int timeout_ms)
{
    QDeadlineTimer deadline(timeout_ms);
    QMutexLocker lock(&hold_mutex);
    while (hold != hold_state::holding)
        if (!hold_changed.wait(&hold_mutex, deadline))
            return hold == hold_state::holding;
    return true;
}

void release()
{
    QMutexLocker lock(&hold_mutex);
    hold = hold_state::idle;
    hold_changed.wakeAll();
}

}  // namespace log

void WindowProgramTest::initTestCase()
{
    hdmi_select_program();
    log::install();
}

void WindowProgramTest::init() { log::clear(); }

void WindowProgramTest::cleanup() { log::release(); }

}  // namespace guitest
