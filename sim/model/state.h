// SPDX-License-Identifier: GPL-2.0-or-later
// The card's persistent state folder, whole: the parameter EEPROM
// (state_eeprom.h), the last values written to registers 0x48/0x4C
// (state_registers.h), the SPI flash (state_flash.h), the accesses the card
// did not know (state_notes.h), and the lock files (state_lock.h), in a folder
// checked as state_folder.h says.
#pragma once

#include "state_eeprom.h"
#include "state_flash.h"
#include "state_notes.h"
#include "state_registers.h"

#include <string>
#include <vector>

namespace cardsim {

class card_state {
public:
    explicit card_state(std::string dir)
        : folder_(std::move(dir)), lock_(folder_, lock_wait_from_env()), eeprom_(folder_, lock_),
          flash_(folder_, lock_), notes_(folder_, lock_)
    {
    }
    card_state(const card_state&) = delete;
    card_state& operator=(const card_state&) = delete;

    const std::string& dir() const { return folder_.dir(); }
    // Whether making the folder makes its missing parents too (cardsim's own
    // default folder); otherwise only the last folder is made.
    void make_parents(bool on) { folder_.make_parents(on); }
    std::string path(const char* name) const { return folder_.path(name); }

    // Checks the folder and every entry that exists; "" or what is wrong. Creates nothing.
    std::string check();
    // check(), then creates the folder and the `factory` EEPROM when they are missing.
    std::string prepare(const unsigned char factory[eeprom_size]);
    // Makes the card new: `factory` EEPROM, no flash, no saved registers, no unknown accesses.
    std::string reset(const unsigned char factory[eeprom_size]);

    // Opens the EEPROM for reading and writing now, so that one the caller
    // cannot use is refused at the node's open rather than at a request.
    std::string open_eeprom() { return eeprom_.open(); }

    // n bytes from addr on; addresses wrap at 256. False and `err` set on failure,
    // also when the EEPROM file or the folder was removed, renamed away or
    // truncated behind the program's back.
    bool eeprom_read(unsigned addr, unsigned n, unsigned char* out, std::string& err)
    {
        return eeprom_.read(addr, n, out, err);
    }
    bool eeprom_write(unsigned addr, unsigned n, const unsigned char* in, std::string& err)
    {
        return eeprom_.write(addr, n, in, err);
    }

    std::string load_registers(saved_registers& out) { return cardsim::load_registers(folder_, out); }
    std::string save_register(unsigned addr, uint32_t value)
    {
        return cardsim::save_register(folder_, lock_, addr, value);
    }

    // The flash image, mapped shared so that every process sees every change.
    // Created erased on first use, and again after it was removed (a missing
    // flash is a blank one). nullptr and `err` set when it cannot be had.
    unsigned char* flash(std::string& err) { return flash_.map(err); }

    // The whole file `name` of exactly `size` bytes into out. False with errno
    // set (ENOENT when there is none); the folder is not created.
    bool read_image(const char* name, size_t size, std::vector<unsigned char>& out);

    // The node's lock file, opened read-only: the node's descriptor. -1 and `err` set.
    int open_node_lock(unsigned adapter, unsigned frontend, int flags, std::string& err);
    static std::string node_lock_name(unsigned adapter, unsigned frontend);

    // Records, once per process, an access the card does not know ("register
    // 0x50 write"); "" or why it could not be written.
    std::string note_unknown(const std::string& what) { return notes_.note(what); }
    // The recorded unknown accesses, each once, in the order first seen.
    std::string load_unknown(std::vector<std::string>& out) { return notes_.load(out); }

    // Drops descriptors inherited over fork so that the child takes its own.
    void forget_descriptors();

private:
    std::string check_entries();

    state_folder folder_;
    card_lock lock_;
    eeprom_file eeprom_;
    flash_file flash_;
    unknown_notes notes_;
};

}  // namespace cardsim
