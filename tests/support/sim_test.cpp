// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim_test.h"

#include "cardsim_api.h"
#include "sim_state.h"

#include <cstdio>
#include <ftw.h>

void SimStateTest::serve(const std::vector<std::string>& settings, const std::vector<unsigned char>& eeprom,
                         bool traced)
{
    testsupport::SimState state(tag_);
    dir = state.dir();
    if (!eeprom.empty())
        state.set_eeprom(eeprom);
    std::vector<std::string> all;
    if (traced)
        all.push_back("CARDSIM_TRACE=" + state.path("trace"));
    all.insert(all.end(), settings.begin(), settings.end());
    ASSERT_EQ(state.start(all), "");
}

void SimStateTest::TearDown()
{
    testsupport::clear_card_settings();
    cardsim_reload();
    if (!dir.empty())
        nftw(dir.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
             FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> SimStateTest::requests() const
{
    std::vector<std::string> out;
    for (const auto& e : trace())
        if (e.what.rfind("REG_", 0) == 0 || e.what.rfind("WINDOW_", 0) == 0)
            out.push_back(e.what);
    return out;
}

std::vector<testsupport::Event> SimStateTest::events(const std::string& prefix) const
{
    std::vector<testsupport::Event> out;
    for (const auto& e : trace())
        if (e.what.rfind(prefix, 0) == 0)
            out.push_back(e);
    return out;
}

double SimStateTest::now() const { return testsupport::card_now(); }
