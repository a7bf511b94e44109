// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim_state.h"

#include "cardsim_api.h"
#include "run.h"
#include "zeb_card.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace testsupport {

const std::vector<const char*> card_settings = {
    "CARDSIM_STATE",   "CARDSIM_NODES",    "CARDSIM_SIGNAL",          "CARDSIM_MAC",
    "CARDSIM_BUSY_TIME", "CARDSIM_FAULTS", "CARDSIM_VTIME",           "CARDSIM_TRACE",
    "CARDSIM_FLASH_ID", "CARDSIM_FLASH_BUSY_TIME", "CARDSIM_REQUEST_TIME", "CARDSIM_REG48",
    "CARDSIM_REG4C", "CARDSIM_VERSION_WORD", "CARDSIM_FACTORY_FILL", "CARDSIM_SEED", "CARDSIM_LOST_WRITES",
    "CARDSIM_DENY",  "CARDSIM_UNPLUG_AFTER", "CARDSIM_CARDS",
};

void clear_card_settings()
{
    for (const char* name : card_settings)
        unsetenv(name);
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
    FILE* f = std::fopen(path("eeprom").c_str(), "wb");
    bool ok = f && std::fwrite(image.data(), 1, image.size(), f) == image.size();
    if (f)
        ok = std::fclose(f) == 0 && ok;
    if (!ok)
        throw std::runtime_error("cannot write " + path("eeprom"));
}

std::vector<unsigned char> SimState::eeprom() const
{
    std::string bytes = read_file(path("eeprom"));
    return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

std::string SimState::file(const std::string& name) const { return read_file(path(name)); }

double card_now() { return double(cardsim_now_ns()) / 1e9; }

std::vector<unsigned char> eeprom_with(const std::vector<std::pair<int, std::vector<unsigned char>>>& changes)
{
    std::vector<unsigned char> e = factory_eeprom();
    for (const auto& [addr, bytes] : changes)
        std::copy(bytes.begin(), bytes.end(), e.begin() + addr);
    return e;
}

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
