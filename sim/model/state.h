// SPDX-License-Identifier: GPL-2.0-or-later
// The card's persistent state folder: the parameter EEPROM, the last values
// written to registers 0x48/0x4C (register_saved), the SPI flash, the accesses the card did not
// know, and the lock files.
//
// The folder may be shared with other processes and, by mistake, be reachable
// by other users: it must belong to the caller and be writable by no one else,
// and every entry is opened relative to the checked folder without following
// links. Files are made 0600 and the folder 0700 whatever the umask. All file
// access goes straight to the system calls, never through the interposer's own
// open and close.
#pragma once

#include "zeb_card.h"

#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace cardsim {

constexpr unsigned eeprom_size = zeb_eeprom::size;
constexpr uint32_t flash_size = 4u << 20;

// A new card's EEPROM: zero except the MAC, the program name's start (the name
// area) and the automatic flag set.
void factory_eeprom(const unsigned char mac[6], unsigned char out[eeprom_size]);

// The last value written to each register the folder keeps, by address.
using saved_registers = std::map<uint8_t, uint32_t>;
// The registers whose last written value the folder keeps: the two that set the output format.
bool register_saved(unsigned addr);

// How long a process waits for the card's lock before the request fails: a
// program stopped while it holds the lock (Ctrl-Z, a debugger) must not stop
// every other one. CARDSIM_LOCK_WAIT (seconds) shortens it for tests.
constexpr uint64_t lock_wait_ns = 5000000000ull;
uint64_t lock_wait_from_env();

// The folder that holds `dir` ("a/b/" gives "a", "/a" gives "/").
std::string parent_folder(const std::string& dir);
// Why a state folder whose parent folder is missing is not made: only the
// last folder of a path given to cardsim is made, never folders above it.
std::string missing_parent_message(const std::string& dir);

class card_state {
public:
    explicit card_state(std::string dir)
        : dir_(std::move(dir)), lock_path_(dir_ + "/eeprom.lock"), eeprom_path_(dir_ + "/eeprom"),
          lock_wait_ns_(lock_wait_from_env())
    {
    }
    ~card_state();
    card_state(const card_state&) = delete;
    card_state& operator=(const card_state&) = delete;

    const std::string& dir() const { return dir_; }
    // Whether making the folder makes its missing parents too (cardsim's own
    // default folder); otherwise only the last folder is made.
    void make_parents(bool on) { make_parents_ = on; }
    std::string path(const char* name) const { return dir_ + "/" + name; }

    // Checks the folder and every entry that exists; "" or what is wrong. Creates nothing.
    std::string check();
    // check(), then creates the folder and a factory EEPROM when they are missing.
    std::string prepare(const unsigned char mac[6]);
    // Makes the card new: factory EEPROM, no flash, no saved registers, no unknown accesses.
    std::string reset(const unsigned char mac[6]);

    // Opens the EEPROM for reading and writing now, so that one the caller
    // cannot use is refused at the node's open rather than at a request.
    std::string open_eeprom();

    // n bytes from addr on; addresses wrap at 256. False and `err` set on failure,
    // also when the EEPROM file or the folder was removed, renamed away or
    // truncated behind the program's back.
    bool eeprom_read(unsigned addr, unsigned n, unsigned char* out, std::string& err);
    bool eeprom_write(unsigned addr, unsigned n, const unsigned char* in, std::string& err);

    std::string load_registers(saved_registers& out);
    std::string save_register(unsigned addr, uint32_t value);

    // The flash image, mapped shared so that every process sees every change.
    // Created erased on first use, and again after it was removed (a missing
    // flash is a blank one). nullptr and `err` set when it cannot be had.
    unsigned char* flash(std::string& err);

    // The whole file `name` of exactly `size` bytes into out. False with errno
    // set (ENOENT when there is none); the folder is not created.
    bool read_image(const char* name, size_t size, std::vector<unsigned char>& out);

    // The node's lock file, opened read-only: the node's descriptor. -1 and `err` set.
    int open_node_lock(unsigned adapter, unsigned frontend, int flags, std::string& err);
    static std::string node_lock_name(unsigned adapter, unsigned frontend);

    // Records, once per process, an access the card does not know ("register
    // 0x50 write"); "" or why it could not be written.
    std::string note_unknown(const std::string& what);
    // The recorded unknown accesses, each once, in the order first seen.
    std::string load_unknown(std::vector<std::string>& out);

    // Drops descriptors inherited over fork so that the child takes its own.
    void forget_descriptors();

private:
    std::string open_folder(bool create);
    bool folder_missing() const;
    std::string check_entries();
    bool lock_card(int how, std::string& err);
    bool open_lock(std::string& err);
    bool wait_for_lock(int how, std::string& err);
    std::string lock_holder() const;
    bool folder_moved() const;
    std::string folder_moved_message() const;
    void unlock_card();
    std::string follow_eeprom();
    bool eeprom_access(bool write, unsigned addr, unsigned n, unsigned char* data, std::string& err);
    std::string replace_file(const char* name, const void* data, size_t size);
    std::string write_factory_eeprom(const unsigned char mac[6]);
    std::string map_flash();

    std::string dir_;
    std::string lock_path_;
    std::string eeprom_path_;
    uint64_t lock_wait_ns_;
    bool make_parents_ = false;
    int dir_fd_ = -1;
    dev_t dir_dev_ = 0;
    ino_t dir_ino_ = 0;
    int eeprom_fd_ = -1;
    dev_t eeprom_dev_ = 0;
    ino_t eeprom_ino_ = 0;
    int lock_fd_ = -1;
    dev_t lock_dev_ = 0;
    ino_t lock_ino_ = 0;
    unsigned char* flash_ = nullptr;
    dev_t flash_dev_ = 0;
    ino_t flash_ino_ = 0;
    std::vector<std::string> noted_;
};

}  // namespace cardsim
