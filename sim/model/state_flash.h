// SPDX-License-Identifier: GPL-2.0-or-later
// The card's SPI flash: the file "flash" in the state folder, 4 MiB, mapped
// shared so that every process sees every change.
#pragma once

#include "state_lock.h"

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace cardsim {

constexpr uint32_t flash_size = 4u << 20;

class flash_file {
public:
    flash_file(state_folder& folder, card_lock& lock) : folder_(folder), lock_(lock) {}
    ~flash_file();
    flash_file(const flash_file&) = delete;
    flash_file& operator=(const flash_file&) = delete;

    // The mapped image. Created erased on first use, and again after it was
    // removed (a missing flash is a blank one). nullptr and `err` set when it cannot be had.
    unsigned char* map(std::string& err);

private:
    std::string map_file();

    state_folder& folder_;
    card_lock& lock_;
    unsigned char* map_ = nullptr;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

}  // namespace cardsim
