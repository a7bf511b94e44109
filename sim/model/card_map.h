// SPDX-License-Identifier: GPL-2.0-or-later
// The simulator's names for the card as its clients address it; the values
// are the library's own description of the card.
#pragma once

#include <cstdint>

#include "zeb_card.h"

namespace cardsim {

// Registers
constexpr uint8_t kRegSpiControl = zeb_reg::spi_control;  // write: starts a transfer; read: 1 when free
constexpr uint8_t kRegSpiSend0 = zeb_reg::spi_send0;    // bytes 1 to 4 to send
constexpr uint8_t kRegSpiSend1 = zeb_reg::spi_send1;    // bytes 5 to 8 to send
constexpr uint8_t kRegSpiReceived = zeb_reg::spi_received;
constexpr uint8_t kRegSpiVersion = zeb_reg::spi_version;
constexpr uint8_t kRegCaptureReset = zeb_reg::capture_reset;
constexpr uint8_t kRegFormat = zeb_reg::auto_format;  // read: input resolution; write: automatic flag
constexpr uint8_t kRegRate = zeb_reg::preset;    // read: frequency code and scan; write: preset

// What register 32 of the SPI controller reads: four "version" bytes, lowest first 1, 2, 3, 4.
constexpr uint32_t kSpiVersion = zeb_spi::version;

// SPI control word
constexpr uint32_t kSpiReceive = zeb_spi::receive;
constexpr uint32_t kSpiDeselect = zeb_spi::end;
constexpr uint32_t kSpiSelect = zeb_spi::begin;
constexpr unsigned kSpiReceivedShift = zeb_spi::received_shift;  // bits 8-11: bytes to receive
constexpr unsigned kSpiSentShift = zeb_spi::sent_shift;     // bits 12-15: bytes to send

// Mailbox window (base 0x4000)
constexpr uint8_t kWinCommand = zeb_mailbox::status;  // write: command word; read: status
constexpr uint8_t kWinData0 = zeb_mailbox::data0;
constexpr uint8_t kWinData1 = zeb_mailbox::data1;
constexpr uint8_t kWinAcknowledge = zeb_mailbox::ack;

// Mailbox status bits
constexpr uint32_t kStatusHandshake = zeb_mailbox::handshake;
constexpr uint32_t kStatusWriteError = zeb_mailbox::write_failed;
constexpr uint32_t kStatusBusy = zeb_mailbox::mcu_busy;

// Mailbox opcodes (command word bits 0-7)
constexpr uint8_t kOpEraseMcu = zeb_mailbox::op_mcu_erase;
constexpr uint8_t kOpReadMcu = zeb_mailbox::op_mcu_read;
constexpr uint8_t kOpWriteMcu = zeb_mailbox::op_mcu_write;
constexpr uint8_t kOpResetMcu = zeb_mailbox::op_mcu_reset;
constexpr uint8_t kOpWriteEeprom = zeb_mailbox::op_24cxx_write;
constexpr uint8_t kOpReadEeprom = zeb_mailbox::op_24cxx_read;

// Serial flash opcodes
constexpr uint8_t kFlashWriteDisable = zeb_spi::flash_write_disable;
constexpr uint8_t kFlashWriteEnable = zeb_spi::flash_write_enable;
constexpr uint8_t kFlashPageProgram = zeb_spi::flash_page_program;
constexpr uint8_t kFlashRead = zeb_spi::flash_read;
constexpr uint8_t kFlashReadStatus = zeb_spi::flash_read_status;
constexpr uint8_t kFlashReadId = zeb_spi::flash_read_id;
constexpr uint8_t kFlashRelease = zeb_spi::flash_release_power_down;
constexpr uint8_t kFlashDeepPowerDown = zeb_spi::flash_deep_power_down;
constexpr uint8_t kFlashChipErase = zeb_spi::flash_chip_erase;

// Flash status bits
constexpr uint8_t kFlashWriteInProgress = zeb_spi::flash_wip;
constexpr uint8_t kFlashWriteEnabled = zeb_spi::flash_wel;

}  // namespace cardsim
