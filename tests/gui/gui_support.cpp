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

namespace guitest {

SimCard::SimCard(const std::string& tag, const std::vector<std::string>& env)
    : dir_(testsupport::make_temp_dir(tag))
{
    for (const char* name : {"CARDSIM_NODES", "CARDSIM_SIGNAL", "CARDSIM_MAC", "CARDSIM_BUSY_TIME",
                             "CARDSIM_FAULTS", "CARDSIM_TRACE", "CARDSIM_FLASH_ID",
                             "CARDSIM_FLASH_BUSY_TIME"})
        unsetenv(name);
    setenv("CARDSIM_STATE", dir_.c_str(), 1);
    setenv("CARDSIM_VTIME", "1", 1);
    setenv("CARDSIM_REQUEST_TIME", "0", 1);  // the program's own waits, to the nanosecond
    for (const std::string& entry : env) {
        const size_t eq = entry.find('=');
        setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
    if (cardsim_reload() != 0)
        throw std::runtime_error("cardsim_reload failed for " + dir_);
}

std::vector<unsigned char> SimCard::factory_eeprom()
{
    return testsupport::factory_eeprom();
}

void SimCard::set_eeprom(const std::vector<unsigned char>& image)
{
    std::ofstream out(dir_ + "/eeprom", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    out.close();
    if (cardsim_reload() != 0)
        throw std::runtime_error("cardsim_reload failed for " + dir_);
}

std::vector<unsigned char> SimCard::eeprom() const
{
    const std::string bytes = testsupport::read_file(dir_ + "/eeprom");
    return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

std::string SimCard::registers() const
{
    return testsupport::read_file(dir_ + "/registers");
}

std::vector<unsigned char> advanced_eeprom(const int (&values)[11])
{
    static const int addrs[11] = {0x1526, 0x152C, 0x152E, 0x1532, 0x1534, 0x1536,
                                  0x1538, 0x1104, 0x1584, 0x1586, 0x1588};
    std::vector<unsigned char> image = SimCard::factory_eeprom();
    image[16] = 0;
    image[17] = 11;
    image[20] = 0;
    image[21] = 0;
    for (int i = 0; i < 11; ++i) {
        image[32 + 4 * i] = (addrs[i] >> 8) & 0xff;
        image[33 + 4 * i] = addrs[i] & 0xff;
        image[34 + 4 * i] = (values[i] >> 8) & 0xff;
        image[35 + 4 * i] = values[i] & 0xff;
    }
    return image;
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
