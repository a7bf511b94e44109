// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim_card.h"

#include "cardsim_api.h"
#include "run.h"
#include "sim_state.h"

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
    return testsupport::eeprom_with(changes);
}

void SimCard::start(const std::vector<std::string>& settings,
                    const std::vector<unsigned char>& eeprom)
{
    if (card.i_frontend >= 0)
        close(card.i_frontend);
    card.setFrontend(-1);
    testsupport::SimState state("lib");
    dir = state.dir();
    if (!eeprom.empty())
        state.set_eeprom(eeprom);
    // Idle right after a restart, an erase or a program, unless the settings say otherwise.
    std::vector<std::string> all = {"CARDSIM_TRACE=" + state.path("trace"), "CARDSIM_BUSY_TIME=0",
                                    "CARDSIM_FLASH_BUSY_TIME=0"};
    all.insert(all.end(), settings.begin(), settings.end());
    ASSERT_EQ(state.start(all), "");
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

double SimCard::now() const { return testsupport::card_now(); }

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
