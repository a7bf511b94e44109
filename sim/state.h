// The card's persistent state folder: the parameter EEPROM, the last values
// written to registers 0x48/0x4C, the SPI flash, and the lock files.
#pragma once

#include <cstdint>
#include <string>

namespace cardsim {

constexpr unsigned kEepromSize = 256;
constexpr uint32_t kFlashSize = 4u << 20;

// A new card's EEPROM: zero except the MAC at 8 to 13, 0x60 at 18, 1 at 20.
void factory_eeprom(const unsigned char mac[6], unsigned char out[kEepromSize]);

struct SavedRegisters {
    bool has48 = false, has4c = false;
    uint32_t r48 = 0, r4c = 0;
};

class State {
public:
    explicit State(std::string dir) : dir_(std::move(dir)) {}
    ~State();
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    const std::string& dir() const { return dir_; }
    std::string path(const char* name) const { return dir_ + "/" + name; }

    // Checks every file that exists; "" or what is wrong. Creates nothing.
    std::string check() const;
    // check(), then creates the folder and a factory EEPROM when they are missing.
    std::string prepare(const unsigned char mac[6]);
    // Makes the card new: factory EEPROM, no flash, no saved registers.
    std::string reset(const unsigned char mac[6]);

    // n bytes from addr on; addresses wrap at 256. False (errno set) on I/O failure.
    bool eeprom_read(unsigned addr, unsigned n, unsigned char* out);
    bool eeprom_write(unsigned addr, unsigned n, const unsigned char* in);

    std::string load_registers(SavedRegisters& out) const;
    bool save_register(unsigned addr, uint32_t value);

    // The flash image, mapped shared so that every process sees every change.
    // Created erased on first use. nullptr and `err` set when it cannot be had.
    unsigned char* flash(std::string& err);

    // The lock file that marks node A:F as open read-write.
    std::string node_lock_path(unsigned adapter, unsigned frontend) const;

    // Drops descriptors inherited over fork so that the child takes its own locks.
    void forget_descriptors();

private:
    bool open_eeprom();
    int lock_card(int how) const;  // flock on eeprom.lock; returns the descriptor or -1
    std::string write_factory_eeprom(const unsigned char mac[6]) const;

    std::string dir_;
    int eeprom_fd_ = -1;
    int lock_fd_ = -1;
    unsigned char* flash_ = nullptr;
};

}  // namespace cardsim
