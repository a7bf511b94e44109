// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim_card.h"

#include "cardsim_api.h"
#include "run.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

namespace {

struct Captured {
    std::string text;
    bool line;
    double time;
};
std::vector<Captured> captured;

void capture(const char* text, bool line) { captured.push_back({text, line, double(cardsim_now_ns()) / 1e9}); }

const char* const settings_names[] = {
    "CARDSIM_NODES", "CARDSIM_SIGNAL", "CARDSIM_MAC", "CARDSIM_BUSY_TIME", "CARDSIM_FAULTS",
    "CARDSIM_VTIME", "CARDSIM_FLASH_ID", "CARDSIM_FLASH_BUSY_TIME",
};

}  // namespace

void SimCard::SetUp()
{
    captured.clear();
    select(zeb_program_ravelins);
    card.setFrontend(-1);
}

void SimCard::TearDown()
{
    if (card.i_frontend >= 0)
        close(card.i_frontend);
    zeb_select_program(zeb_program_ravelins, nullptr);
}

void SimCard::select(const zeb_program& program) { zeb_select_program(program, capture); }

std::vector<unsigned char> SimCard::eeprom_with(
    const std::vector<std::pair<int, std::vector<unsigned char>>>& changes)
{
    std::vector<unsigned char> e = testsupport::factory_eeprom();
    for (const auto& [addr, bytes] : changes)
        std::copy(bytes.begin(), bytes.end(), e.begin() + addr);
    return e;
}

void SimCard::start(const std::vector<std::string>& settings,
                    const std::vector<unsigned char>& eeprom)
{
    if (card.i_frontend >= 0)
        close(card.i_frontend);
    card.setFrontend(-1);
    dir = testsupport::make_temp_dir("lib");
    if (!eeprom.empty()) {
        FILE* f = std::fopen((dir + "/eeprom").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(eeprom.data(), 1, eeprom.size(), f), eeprom.size());
        std::fclose(f);
    }
    for (const char* name : settings_names)
        unsetenv(name);
    setenv("CARDSIM_STATE", dir.c_str(), 1);
    setenv("CARDSIM_TRACE", (dir + "/trace").c_str(), 1);
    setenv("CARDSIM_BUSY_TIME", "0", 1);
    setenv("CARDSIM_FLASH_BUSY_TIME", "0", 1);
    setenv("CARDSIM_REQUEST_TIME", "0", 1);  // the library's own waits, to the nanosecond
    for (const auto& s : settings) {
        auto eq = s.find('=');
        setenv(s.substr(0, eq).c_str(), s.substr(eq + 1).c_str(), 1);
    }
    ASSERT_EQ(cardsim_reload(), 0);
    int fd = open("/dev/dvb/adapter0/frontend0", O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    card.setFrontend(fd);
}

void SimCard::clear_messages() { captured.clear(); }

void SimCard::restart_as(const zeb_program& program, const std::vector<std::string>& settings,
                         const std::vector<unsigned char>& eeprom)
{
    clear_messages();
    select(program);
    start(settings, eeprom);
}

std::string SimCard::printed() const
{
    std::string out;
    for (const auto& c : captured)
        out += c.text + (c.line ? "\n" : "");
    return out;
}

std::vector<std::string> SimCard::messages() const
{
    std::vector<std::string> out;
    for (const auto& c : captured)
        out.push_back(c.text);
    return out;
}

std::vector<double> SimCard::message_times() const
{
    std::vector<double> out;
    for (const auto& c : captured)
        out.push_back(c.time);
    return out;
}

std::vector<unsigned char> SimCard::eeprom() const
{
    std::string bytes = testsupport::read_file(dir + "/eeprom");
    return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

std::vector<Event> SimCard::trace() const
{
    std::vector<Event> out;
    std::istringstream in(testsupport::read_file(dir + "/trace"));
    std::string line;
    while (std::getline(in, line)) {
        auto blank = line.find(' ');
        out.push_back({std::stod(line.substr(0, blank)), line.substr(blank + 1)});
    }
    return out;
}

std::vector<std::string> SimCard::requests() const
{
    std::vector<std::string> out;
    for (const auto& e : trace())
        if (e.what.rfind("REG_", 0) == 0 || e.what.rfind("WINDOW_", 0) == 0)
            out.push_back(e.what);
    return out;
}

std::vector<Event> SimCard::events(const std::string& prefix) const
{
    std::vector<Event> out;
    for (const auto& e : trace())
        if (e.what.rfind(prefix, 0) == 0)
            out.push_back(e);
    return out;
}

double SimCard::now() const { return double(cardsim_now_ns()) / 1e9; }

std::string hex_bytes(const std::vector<unsigned char>& bytes, int from, int count)
{
    std::string out;
    char b[4];
    for (int i = from; i < from + count; ++i) {
        std::snprintf(b, sizeof b, "%s%02x", i == from ? "" : " ", bytes.at(i));
        out += b;
    }
    return out;
}
