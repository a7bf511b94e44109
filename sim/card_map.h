// SPDX-License-Identifier: GPL-2.0-or-later
// The card as its clients address it: register numbers, mailbox window
// offsets, status bits, command opcodes and the SPI controller's control bits.
#pragma once

#include <cstdint>

namespace cardsim {

// Registers
constexpr uint8_t kRegSpiControl = 0x10;  // write: starts a transfer; read: 1 when free
constexpr uint8_t kRegSpiSend0 = 0x14;    // bytes 1 to 4 to send
constexpr uint8_t kRegSpiSend1 = 0x18;    // bytes 5 to 8 to send
constexpr uint8_t kRegSpiReceived = 0x1c;
constexpr uint8_t kRegSpiVersion = 0x20;
constexpr uint8_t kRegCaptureReset = 0x44;
constexpr uint8_t kRegFormat = 0x48;  // read: input resolution; write: automatic flag
constexpr uint8_t kRegRate = 0x4c;    // read: frequency code and scan; write: preset

// What register 32 of the SPI controller reads: four "version" bytes, lowest first 1, 2, 3, 4.
constexpr uint32_t kSpiVersion = 0x04030201;

// SPI control word
constexpr uint32_t kSpiReceive = 0x10;
constexpr uint32_t kSpiDeselect = 0x40;
constexpr uint32_t kSpiSelect = 0x80;
constexpr unsigned kSpiReceivedShift = 8;  // bits 8-11: bytes to receive
constexpr unsigned kSpiSentShift = 12;     // bits 12-15: bytes to send

// Mailbox window (base 0x4000)
constexpr uint8_t kWinCommand = 0;  // write: command word; read: status
constexpr uint8_t kWinData0 = 4;
constexpr uint8_t kWinData1 = 8;
constexpr uint8_t kWinAcknowledge = 12;

// Mailbox status bits
constexpr uint32_t kStatusHandshake = 0x01;
constexpr uint32_t kStatusWriteError = 0x02;
constexpr uint32_t kStatusBusy = 0x04;

// Mailbox opcodes (command word bits 0-7)
constexpr uint8_t kOpEraseMcu = 0x00;
constexpr uint8_t kOpReadMcu = 0x01;
constexpr uint8_t kOpWriteMcu = 0x02;
constexpr uint8_t kOpResetMcu = 0x03;
constexpr uint8_t kOpWriteEeprom = 0x30;
constexpr uint8_t kOpReadEeprom = 0x31;

// Serial flash opcodes
constexpr uint8_t kFlashWriteDisable = 0x04;
constexpr uint8_t kFlashWriteEnable = 0x06;
constexpr uint8_t kFlashPageProgram = 0x02;
constexpr uint8_t kFlashRead = 0x03;
constexpr uint8_t kFlashReadStatus = 0x05;
constexpr uint8_t kFlashReadId = 0x9f;
constexpr uint8_t kFlashRelease = 0xab;
constexpr uint8_t kFlashDeepPowerDown = 0xb9;
constexpr uint8_t kFlashChipErase = 0xc7;

// Flash status bits
constexpr uint8_t kFlashWriteInProgress = 0x01;
constexpr uint8_t kFlashWriteEnabled = 0x02;

}  // namespace cardsim
