// SPDX-License-Identifier: GPL-2.0-or-later
#include "card.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cardsim {

namespace {

constexpr uint32_t flash_mask = flash_size - 1;
constexpr size_t mcu_memory_size = 65536;

uint64_t later(uint64_t now, uint64_t span) { return span >= forever - now ? forever : now + span; }

// Byte k of a mailbox transfer travels in bits 8*(k mod 4) of data word k / 4.
void words_to_bytes(const uint32_t words[2], unsigned char out[8])
{
    for (unsigned k = 0; k < 8; ++k)
        out[k] = (unsigned char)(words[k / 4] >> (8 * (k % 4)));
}

void bytes_to_words(const unsigned char in[8], unsigned count, uint32_t words[2])
{
    for (unsigned w = 0; w < (count > 4 ? 2u : 1u); ++w) {
        words[w] = 0;
        for (unsigned b = 0; b < 4 && w * 4 + b < count; ++b)
            words[w] |= uint32_t(in[w * 4 + b]) << (8 * b);
    }
}

}  // namespace

// ---- SPI flash ----

void spi_flash::settle(uint64_t now)
{
    if (working_ && now >= busy_until_) {
        working_ = false;
        write_enabled_ = false;
    }
}

bool spi_flash::in_progress(uint64_t now)
{
    settle(now);
    return working_;
}

void spi_flash::start_work(uint64_t now)
{
    working_ = true;
    busy_until_ = config_.faults.flash_stuck ? forever : later(now, config_.flash_busy_ns);
}

uint8_t spi_flash::status(uint64_t now)
{
    return uint8_t((in_progress(now) ? zeb_spi::flash_wip : 0) | (write_enabled_ ? zeb_spi::flash_wel : 0));
}

void spi_flash::select()
{
    selected_ = true;
    sent_.clear();
    received_ = 0;
}

void spi_flash::send(uint8_t byte)
{
    if (!selected_)
        return;
    // A page program keeps only its last 256 data bytes, as the chip's page buffer does.
    if (sent_.size() >= 4 + zeb_spi::flash_page && sent_[0] == zeb_spi::flash_page_program)
        sent_.erase(sent_.begin() + 4);
    sent_.push_back(byte);
}

uint32_t spi_flash::address() const
{
    uint32_t a = 0;
    for (size_t i = 1; i < 4; ++i)
        a = a << 8 | (i < sent_.size() ? sent_[i] : 0);
    return a & flash_mask;
}

unsigned char* spi_flash::image()
{
    if (!image_)
        image_ = state_.flash(error_);
    return image_;
}

uint8_t spi_flash::receive(uint64_t now)
{
    if (!selected_ || sent_.empty())
        return 0xff;
    uint8_t opcode = sent_[0];
    // Only the status is served while an erase or program runs, only the release in deep power-down.
    bool busy = in_progress(now);
    if ((deep_power_down_ && opcode != zeb_spi::flash_release_power_down) ||
        (busy && opcode != zeb_spi::flash_read_status))
        return 0xff;
    uint32_t index = received_++;
    switch (opcode) {
    case zeb_spi::flash_read_id:
        return index < 3 ? config_.flash_id[index] : 0x00;
    case zeb_spi::flash_read_status:
        return status(now);
    case zeb_spi::flash_read: {
        if (sent_.size() < 4)
            return 0xff;
        unsigned char* data = image();
        return data ? data[(address() + index) & flash_mask] : 0xff;
    }
    default:
        return 0xff;
    }
}

bool spi_flash::deselect(uint64_t now)
{
    unknown_opcode_ = -1;
    if (!selected_)
        return true;
    selected_ = false;
    if (sent_.empty())
        return true;
    uint8_t opcode = sent_[0];
    switch (opcode) {
    case zeb_spi::flash_write_enable:
    case zeb_spi::flash_write_disable:
    case zeb_spi::flash_page_program:
    case zeb_spi::flash_read:
    case zeb_spi::flash_read_status:
    case zeb_spi::flash_read_id:
    case zeb_spi::flash_release_power_down:
    case zeb_spi::flash_deep_power_down:
    case zeb_spi::flash_chip_erase:
        break;
    default:
        unknown_opcode_ = opcode;
        break;
    }
    if (deep_power_down_) {
        if (opcode == zeb_spi::flash_release_power_down)
            deep_power_down_ = false;
        return true;
    }
    if (in_progress(now))
        return true;
    switch (opcode) {
    case zeb_spi::flash_write_enable:
        write_enabled_ = true;
        break;
    case zeb_spi::flash_write_disable:
        write_enabled_ = false;
        break;
    case zeb_spi::flash_deep_power_down:
        deep_power_down_ = true;
        break;
    case zeb_spi::flash_chip_erase:
        if (write_enabled_) {
            unsigned char* data = image();
            if (!data)
                return false;
            memset(data, 0xff, flash_size);
            start_work(now);
        }
        break;
    case zeb_spi::flash_page_program:
        if (write_enabled_ && sent_.size() > 4) {
            unsigned char* data = image();
            if (!data)
                return false;
            // Programming only clears bits, and wraps within the 256-byte page.
            uint32_t start = address();
            uint32_t page = start & ~0xffu;
            for (size_t i = 4; i < sent_.size(); ++i)
                data[page | ((start + uint32_t(i - 4)) & 0xff)] &= sent_[i];
            start_work(now);
        }
        break;
    default:
        break;
    }
    settle(now);
    return true;
}

// ---- card_model ----

card_model::card_model(const sim_config& config, card_state& state)
    : config_(config), state_(state), mcu_memory_(mcu_memory_size, 0xff), flash_(config, state)
{
    if (config_.faults.busy_at_start)
        busy_until_ = config_.restart_busy_ns();
}

void card_model::start_busy(uint64_t now) { busy_until_ = later(now, config_.restart_busy_ns()); }

void card_model::flag_unknown(const std::string& trace_note, const std::string& what)
{
    unknown_ = trace_note;
    lost_write_ = state_.note_unknown(what);
}

namespace {
std::string hex2(unsigned v)
{
    char buf[8];
    snprintf(buf, sizeof buf, "0x%02x", v & 0xff);
    return buf;
}
}  // namespace

int card_model::reg_read(uint8_t addr, uint64_t now, uint32_t& value)
{
    unknown_.clear();
    lost_write_.clear();
    if (config_.faults.other_driver)
        return ENOTTY;
    if (config_.faults.reg_read_fail)
        return EIO;
    switch (addr) {
    case zeb_reg::spi_control:
        if (config_.faults.spi_busy || spi_transfers_ > config_.faults.spi_busy_after) {
            value = 0;
        } else if (spi_busy_reads_ > 0) {
            --spi_busy_reads_;
            value = 0;
        } else {
            value = 1;
        }
        break;
    case zeb_reg::spi_send0:
        value = spi_tx_[0];
        break;
    case zeb_reg::spi_send1:
        value = spi_tx_[1];
        break;
    case zeb_reg::spi_received:
        value = spi_rx_;
        break;
    case zeb_reg::spi_version:
        value = config_.version_word;
        break;
    case zeb_reg::capture_reset:
        value = reset_reg_;
        break;
    case zeb_reg::auto_format:
        value = config_.format_word();
        break;
    case zeb_reg::preset:
        value = config_.rate_word();
        break;
    default:
        value = 0;
        flag_unknown("UNKNOWN", "register " + hex2(addr) + " read");
        break;
    }
    (void)now;
    return 0;
}

int card_model::reg_write(uint8_t addr, uint32_t value, uint64_t now)
{
    unknown_.clear();
    lost_write_.clear();
    if (config_.faults.other_driver)
        return ENOTTY;
    switch (addr) {
    case zeb_reg::spi_control:
        ++spi_transfers_;
        spi_busy_reads_ = config_.faults.spi_busy_polls;
        return spi_transfer(value, now);
    case zeb_reg::spi_send0:
        spi_tx_[0] = value;
        break;
    case zeb_reg::spi_send1:
        spi_tx_[1] = value;
        break;
    case zeb_reg::spi_received:
        spi_rx_ = value;
        break;
    case zeb_reg::spi_version:
        break;  // read-only
    case zeb_reg::capture_reset:
        // The capture logic restarts at the end of a 1-then-0 pulse.
        if (value == 0 && reset_reg_ != 0)
            start_busy(now);
        reset_reg_ = value;
        break;
    case zeb_reg::auto_format:
    case zeb_reg::preset:
        error_ = state_.save_register(addr, value);
        if (!error_.empty())
            return EIO;
        break;
    default:
        flag_unknown("UNKNOWN", "register " + hex2(addr) + " write");
        break;
    }
    return 0;
}

int card_model::spi_transfer(uint32_t control, uint64_t now)
{
    unsigned sent = (control >> zeb_spi::sent_shift) & 0xf, received = (control >> zeb_spi::received_shift) & 0xf;
    if (sent > 8)
        sent = 8;
    if (received > 4)
        received = 4;
    flash_.new_transfer();
    if (control & zeb_spi::begin)
        flash_.select();
    for (unsigned i = 0; i < sent; ++i)
        flash_.send(uint8_t(spi_tx_[i / 4] >> (8 * (i % 4))));
    if (control & zeb_spi::receive) {
        uint32_t rx = 0;
        for (unsigned i = 0; i < received; ++i)
            rx |= uint32_t(flash_.receive(now)) << (8 * i);
        spi_rx_ = rx;
    }
    bool ok = (control & zeb_spi::end) ? flash_.deselect(now) : true;
    if (!ok || !flash_.error().empty()) {
        error_ = flash_.error();
        return EIO;
    }
    if ((control & zeb_spi::end) && flash_.unknown_opcode() >= 0)
        flag_unknown("UNKNOWN-FLASH-OPCODE " + hex2(unsigned(flash_.unknown_opcode())),
                     "flash opcode " + hex2(unsigned(flash_.unknown_opcode())));
    return 0;
}

uint32_t card_model::status(uint64_t now)
{
    uint32_t handshake = 1;
    switch (phase_) {
    case mailbox_phase::idle:
        break;
    case mailbox_phase::offered:
        if (config_.faults.receiver_busy)
            break;
        if (countdown_ > 0) {
            --countdown_;
            break;
        }
        phase_ = mailbox_phase::taken;
        handshake = 0;
        if (!execute(now))
            return UINT32_MAX;
        break;
    case mailbox_phase::taken:
        handshake = 0;
        break;
    case mailbox_phase::acknowledged:
        if (config_.faults.no_completion || countdown_ > 0) {
            if (countdown_ > 0)
                --countdown_;
            handshake = 0;
            break;
        }
        phase_ = mailbox_phase::idle;
        break;
    }
    return handshake | (write_failed_ ? zeb_mailbox::write_failed : 0) | (busy(now) ? zeb_mailbox::mcu_busy : 0);
}

bool card_model::execute(uint64_t now)
{
    unsigned opcode = command_ & 0xff, count = (command_ >> 8) & 0xff;
    unsigned address = ((command_ >> 16) & 0xff) << 8 | command_ >> 24;
    unsigned char bytes[8];
    switch (opcode) {
    case zeb_mailbox::op_24cxx_read:
        if (count == 0 || count > 8)
            return true;
        if (!state_.eeprom_read(command_ >> 24, count, bytes, error_))
            return false;
        bytes_to_words(bytes, count, data_);
        return true;
    case zeb_mailbox::op_24cxx_write:
        if (count == 0)
            return true;
        if (count > 8 || config_.faults.write_error) {
            write_failed_ = true;
            return true;
        }
        words_to_bytes(data_, bytes);
        if (!state_.eeprom_write(command_ >> 24, count, bytes, error_)) {
            write_failed_ = true;
            return false;
        }
        return true;
    case zeb_mailbox::op_mcu_reset:
        start_busy(now);
        return true;
    case zeb_mailbox::op_mcu_erase:  // 8 bytes of the microcontroller's memory
        for (unsigned k = 0; k < 8; ++k)
            mcu_memory_[(address + k) % mcu_memory_size] = 0xff;
        return true;
    case zeb_mailbox::op_mcu_read:
        for (unsigned k = 0; k < 8; ++k)
            bytes[k] = mcu_memory_[(address + k) % mcu_memory_size];
        bytes_to_words(bytes, 8, data_);
        return true;
    case zeb_mailbox::op_mcu_write:
        words_to_bytes(data_, bytes);
        for (unsigned k = 0; k < 8; ++k)
            mcu_memory_[(address + k) % mcu_memory_size] = bytes[k];
        return true;
    default:
        // the microcontroller ignores what it does not know; the handshake completes
        flag_unknown("UNKNOWN-OPCODE " + hex2(opcode), "mailbox opcode " + hex2(opcode));
        return true;
    }
}

int card_model::window_read(uint8_t offset, uint64_t now, uint32_t& value)
{
    unknown_.clear();
    lost_write_.clear();
    if (config_.faults.other_driver)
        return ENOTTY;
    switch (offset) {
    case zeb_mailbox::status: {
        uint32_t s = status(now);
        if (s == UINT32_MAX)
            return EIO;
        value = s;
        break;
    }
    case zeb_mailbox::data0:
        value = data_[0];
        break;
    case zeb_mailbox::data1:
        value = data_[1];
        break;
    case zeb_mailbox::ack:
        value = acknowledge_;
        break;
    default:
        value = 0;
        flag_unknown("UNKNOWN", "window offset " + hex2(offset) + " read");
        break;
    }
    return 0;
}

int card_model::window_write(uint8_t offset, uint32_t value, uint64_t now)
{
    (void)now;
    unknown_.clear();
    lost_write_.clear();
    if (config_.faults.other_driver)
        return ENOTTY;
    switch (offset) {
    case zeb_mailbox::status:
        command_ = value;
        phase_ = mailbox_phase::offered;
        countdown_ = unsigned(config_.faults.latency);
        write_failed_ = false;
        break;
    case zeb_mailbox::data0:
        data_[0] = value;
        break;
    case zeb_mailbox::data1:
        data_[1] = value;
        break;
    case zeb_mailbox::ack:
        acknowledge_ = value;
        if (phase_ == mailbox_phase::taken) {
            phase_ = mailbox_phase::acknowledged;
            countdown_ = unsigned(config_.faults.latency);
        }
        break;
    default:
        flag_unknown("UNKNOWN", "window offset " + hex2(offset) + " write");
        break;
    }
    return 0;
}

}  // namespace cardsim
