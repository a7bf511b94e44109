#include "gui_support.h"

#include <QCoreApplication>
#include <QMutex>
#include <QSemaphore>
#include <QThread>
#include <atomic>
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
std::atomic<bool> hold_armed{false};
std::atomic<bool> held{false};
QSemaphore release_sem;

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
    const bool on_worker = QThread::currentThread() != QCoreApplication::instance()->thread();
    bool expected = true;
    if (on_worker && hold_armed.compare_exchange_strong(expected, false)) {
        held = true;
        release_sem.acquire();
        held = false;
    }
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

void hold_next_worker_message() { hold_armed = true; }
bool worker_held() { return held; }
void release()
{
    hold_armed = false;
    if (held)
        release_sem.release();
}

}  // namespace log
}  // namespace guitest
