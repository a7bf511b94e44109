// SPDX-License-Identifier: GPL-2.0-or-later
// The simulated card: registers, the microcontroller mailbox with the
// parameter EEPROM behind it, the busy timer, and the SPI controller with its
// NOR flash. Time comes from the caller, in nanoseconds of the card's clock.
#pragma once

#include "config.h"
#include "state.h"
#include "zeb_card.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cardsim {

// A serial NOR flash of 4 MiB behind the SPI controller, seen as a byte stream
// between chip select and deselect.
class spi_flash {
public:
    spi_flash(const sim_config& config, card_state& state) : config_(config), state_(state) {}

    void select();
    void send(uint8_t byte);
    uint8_t receive(uint64_t now);
    // Ends the command; erase and program take effect here. False when the image cannot be had.
    bool deselect(uint64_t now);
    bool selected() const { return selected_; }
    // A new transfer: the image is looked up again (the file may have changed) at its first use.
    void new_transfer() { image_ = nullptr; }

    uint8_t status(uint64_t now);
    bool powered_down() const { return deep_power_down_; }
    const std::string& error() const { return error_; }
    // The opcode of the last command ended, when the flash does not know it; else -1.
    int unknown_opcode() const { return unknown_opcode_; }

private:
    void settle(uint64_t now);
    bool in_progress(uint64_t now);
    void start_work(uint64_t now);
    uint32_t address() const;  // the three bytes after the opcode, most significant first
    unsigned char* image();

    const sim_config& config_;
    card_state& state_;
    bool selected_ = false;
    std::vector<uint8_t> sent_;
    uint32_t received_ = 0;
    bool write_enabled_ = false;
    bool working_ = false;  // an erase or program runs until busy_until_
    uint64_t busy_until_ = 0;
    bool deep_power_down_ = false;
    int unknown_opcode_ = -1;
    std::string error_;
    unsigned char* image_ = nullptr;  // checked in this transfer
};

class card_model {
public:
    card_model(const sim_config& config, card_state& state);

    // Each returns 0 or an errno value. A failure of the state files leaves a
    // message in error().
    int reg_read(uint8_t addr, uint64_t now, uint32_t& value);
    int reg_write(uint8_t addr, uint32_t value, uint64_t now);
    int window_read(uint8_t offset, uint64_t now, uint32_t& value);
    int window_write(uint8_t offset, uint32_t value, uint64_t now);

    bool busy(uint64_t now) const { return now < busy_until_; }
    const std::string& error() const { return error_; }
    // What the last request met that the card does not know, for the trace
    // ("UNKNOWN", "UNKNOWN-OPCODE 0x42"); "" for a request the card knows.
    const std::string& unknown() const { return unknown_; }
    // Why the last request could not note what the card does not know in
    // the state folder, or "": the request itself is served.
    const std::string& lost_write() const { return lost_write_; }

private:
    enum class mailbox_phase { idle, offered, taken, acknowledged };

    uint32_t status(uint64_t now);
    bool execute(uint64_t now);
    void start_busy(uint64_t now);
    int spi_transfer(uint32_t control, uint64_t now);
    void flag_unknown(const std::string& trace_note, const std::string& what);

    const sim_config& config_;
    card_state& state_;
    std::string error_;
    std::string unknown_;
    std::string lost_write_;

    // Registers
    uint32_t reset_reg_ = 0;
    uint64_t busy_until_ = 0;

    // Mailbox
    mailbox_phase phase_ = mailbox_phase::idle;
    unsigned countdown_ = 0;
    uint32_t command_ = 0;
    uint32_t data_[2] = {0, 0};
    uint32_t acknowledge_ = 0;
    bool write_failed_ = false;
    std::vector<unsigned char> mcu_memory_;

    // SPI controller
    uint32_t spi_tx_[2] = {0, 0};
    uint64_t spi_transfers_ = 0;
    uint64_t spi_busy_reads_ = 0;  // reads of 0x10 still to show busy (spi-busy-polls)
    uint32_t spi_rx_ = 0;
    spi_flash flash_;
};

}  // namespace cardsim
