// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim_card.h"

#include "cardsim_api.h"

#include <fcntl.h>
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
    SimStateTest::TearDown();
}

void SimCard::select(const zeb_program& program) { zeb_select_program(program, capture); }

void SimCard::start(const std::vector<std::string>& settings,
                    const std::vector<unsigned char>& eeprom)
{
    if (card.i_frontend >= 0)
        close(card.i_frontend);
    card.setFrontend(-1);
    // Idle right after a restart, an erase or a program, unless the settings say otherwise.
    std::vector<std::string> all = {"CARDSIM_BUSY_TIME=0", "CARDSIM_FLASH_BUSY_TIME=0"};
    all.insert(all.end(), settings.begin(), settings.end());
    serve(all, eeprom, true);
    if (HasFatalFailure())
        return;
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
