// SPDX-License-Identifier: GPL-2.0-or-later
// The card's parameter EEPROM: the file "eeprom" in the state folder, 256
// bytes, followed under the card's lock when another file takes its place.
#pragma once

#include "state_lock.h"
#include "zeb_card.h"

#include <string>
#include <sys/types.h>

namespace cardsim {

constexpr unsigned eeprom_size = zeb_eeprom::size;

// A new card's EEPROM: zero except the MAC, the program name's start (the name
// area) and the automatic flag set.
void factory_eeprom(const unsigned char mac[6], unsigned char out[eeprom_size]);

class eeprom_file {
public:
    eeprom_file(state_folder& folder, card_lock& lock) : folder_(folder), lock_(lock), path_(folder.path("eeprom")) {}
    ~eeprom_file() { close_fd(fd_); }
    eeprom_file(const eeprom_file&) = delete;
    eeprom_file& operator=(const eeprom_file&) = delete;

    // Opens the EEPROM for reading and writing now, so that one the caller
    // cannot use is refused at the node's open rather than at a request.
    std::string open();
    bool is_open() const { return fd_ >= 0; }

    // n bytes from addr on; addresses wrap at 256. False and `err` set on failure,
    // also when the EEPROM file or the folder was removed, renamed away or
    // truncated behind the program's back.
    bool read(unsigned addr, unsigned n, unsigned char* out, std::string& err);
    bool write(unsigned addr, unsigned n, const unsigned char* in, std::string& err);

    // Replaces the file with a factory EEPROM; the caller holds the lock.
    std::string write_factory(const unsigned char image[eeprom_size]);

    // Drops the descriptor inherited over fork so that the child takes its own.
    void forget() { fd_ = -1; }

private:
    std::string follow();
    bool access(bool write, unsigned addr, unsigned n, unsigned char* data, std::string& err);

    state_folder& folder_;
    card_lock& lock_;
    std::string path_;
    int fd_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

}  // namespace cardsim
