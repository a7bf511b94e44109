// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim_state.h"

#include "cardsim_api.h"
#include "config.h"
#include "run.h"
#include "zeb_card.h"

#include <cstdlib>
#include <stdexcept>

namespace testsupport {

std::vector<std::string> card_settings()
{
    std::vector<std::string> names;
    for (unsigned i = 0; i < cardsim::setting_count; ++i) {
        if (cardsim::setting_table[i].variable)
            names.push_back(cardsim::setting_table[i].variable);
    }
    // Not a setting, but cardsim exports it too: where the interposer tells of a write it lost.
    names.push_back(cardsim::lost_write_variable);
    return names;
}

void clear_card_settings()
{
    for (const auto& name : card_settings())
        unsetenv(name.c_str());
}

SimState::SimState(const std::string& tag) : dir_(make_temp_dir(tag)) {}

std::string SimState::start(const std::vector<std::string>& settings) const
{
    clear_card_settings();
    setenv("CARDSIM_STATE", dir_.c_str(), 1);
    setenv("CARDSIM_REQUEST_TIME", "0", 1);
    for (const auto& s : settings) {
        size_t eq = s.find('=');
        if (eq == std::string::npos)
            return "a setting is NAME=value, not '" + s + "'";
        setenv(s.substr(0, eq).c_str(), s.substr(eq + 1).c_str(), 1);
    }
    return cardsim_reload() == 0 ? "" : "the interposer refused the card in " + dir_ + " (see its message above)";
}

void SimState::set_eeprom(const std::vector<unsigned char>& image) const
{
    if (!write_eeprom(dir_, image))
        throw std::runtime_error("cannot write " + path("eeprom"));
}

std::vector<unsigned char> SimState::eeprom() const { return read_eeprom(dir_); }

std::string SimState::file(const std::string& name) const { return read_file(path(name)); }

double card_now() { return double(cardsim_now_ns()) / 1e9; }

std::vector<unsigned char> manual_eeprom(int preset)
{
    std::vector<unsigned char> image = factory_eeprom();
    image[zeb_eeprom::auto_flag] = 0;
    image[zeb_eeprom::preset] = (unsigned char)preset;
    return image;
}

std::vector<unsigned char> advanced_eeprom(const int (&values)[11])
{
    namespace ee = zeb_eeprom;
    static_assert(ee::encoder_entries == 11);
    std::vector<unsigned char> image = factory_eeprom();
    image[ee::entry_count] = 0;
    image[ee::entry_count + 1] = ee::encoder_entries;
    image[ee::auto_flag] = 0;
    image[ee::preset] = 0;
    for (int i = 0; i < ee::encoder_entries; ++i) {
        image[ee::entry_address(i)] = (zeb_encoder::entries[i].address >> 8) & 0xff;
        image[ee::entry_address(i) + 1] = zeb_encoder::entries[i].address & 0xff;
        image[ee::entry_value(i)] = (values[i] >> 8) & 0xff;
        image[ee::entry_value(i) + 1] = values[i] & 0xff;
    }
    return image;
}

}  // namespace testsupport
