// SPDX-License-Identifier: GPL-2.0-or-later
// Card access: registers and the microcontroller mailbox of the capture card,
// reached through four private requests of its driver on the DVB frontend node.
#pragma once

#include "zeb_card.h"
#include "zeb_requests.h"
#include "zeb_status.h"

// The card access object. It neither opens nor closes its descriptor.
class zebecp3 {
public:
    int i_frontend;

    void setFrontend(int fd);

    // Requests
    void zeb_write(unsigned char addr, unsigned int value);
    unsigned int zeb_read(unsigned char addr);
    void zeb_24cxx_wr(unsigned char offset, unsigned int value);
    unsigned int zeb_24cxx_rd(unsigned char offset);
    unsigned char read_mcu_status();

    // Mailbox and parameter EEPROM
    void check_mcuWorkOK();
    void mcu_software_reset();
    void erase_mcu(unsigned int addr);
    void write_mcu(unsigned int addr, unsigned char* buf);
    void read_mcu(unsigned int addr, unsigned char* buf);
    void read_24cxx(unsigned char addr, unsigned char num, unsigned char* buf);
    void write_24cxx(unsigned char addr, unsigned char num, unsigned char* buf);

    // Capture format
    void CaptureSoftReset();
    void worksetreset();
    void GetCaptureFormat(unsigned short* out);
    void SetCaptureFormat(unsigned char autoflag, unsigned char preset);

    // Encoder settings and read-back
    void advanced_setting(advice_number settings);
    void write_M23Register(int count, int* addrs, int* values);
    void read_M23Register(int count, int* values);
    void getoutputformat(int* regs, unsigned char* mode);
    void setMute(int mute);
    void setprogname(unsigned char* name);

    // SPI flash
    unsigned char spi_CheckFree(unsigned char kind);
    void spi_WriteEnable();
    void spi_WriteDisable();
    unsigned char spi_GetFlashID(unsigned char* id);
    unsigned char spi_ChipErase();
    unsigned char spi_ChipEraseStatus();
    unsigned char spi_read32bit(unsigned char* addr, unsigned int* word);
    unsigned char spi_read1page(unsigned char* addr, unsigned char* buf);
    unsigned char spi_Write32bit(unsigned char* addr, unsigned int* word);
    unsigned char spi_Write1page(unsigned char* addr, unsigned char* page);
    void spi_EnterDeepPowerDown();
};
