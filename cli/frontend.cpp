// SPDX-License-Identifier: GPL-2.0-or-later
#include "frontend.h"

#include "card_ops.h"
#include "zeb_card.h"

int i_frontend = -1;

namespace {

// The card access object on i_frontend, as it stands at each call.
zebecp3& frontend_card()
{
    static zebecp3 card;
    card.setFrontend(i_frontend);
    return card;
}

}  // namespace

void setFrontend(int fd) { i_frontend = fd; }
void zeb_write(unsigned char addr, unsigned int value) { frontend_card().zeb_write(addr, value); }
unsigned int zeb_read(unsigned char addr) { return frontend_card().zeb_read(addr); }
void zeb_24cxx_wr(unsigned char offset, unsigned int value) { frontend_card().zeb_24cxx_wr(offset, value); }
unsigned int zeb_24cxx_rd(unsigned char offset) { return frontend_card().zeb_24cxx_rd(offset); }
unsigned char read_mcu_status() { return frontend_card().read_mcu_status(); }

void check_mcuWorkOK() { frontend_card().check_mcuWorkOK(); }
void mcu_software_reset() { frontend_card().mcu_software_reset(); }
void erase_mcu(unsigned int addr) { frontend_card().erase_mcu(addr); }
void write_mcu(unsigned int addr, unsigned char* buf) { frontend_card().write_mcu(addr, buf); }
void read_mcu(unsigned int addr, unsigned char* buf) { frontend_card().read_mcu(addr, buf); }
void read_24cxx(unsigned char addr, unsigned char num, unsigned char* buf) { frontend_card().read_24cxx(addr, num, buf); }
void write_24cxx(unsigned char addr, unsigned char num, unsigned char* buf) { frontend_card().write_24cxx(addr, num, buf); }

void CaptureSoftReset() { frontend_card().CaptureSoftReset(); }
void worksetreset() { frontend_card().worksetreset(); }
void GetCaptureFormat(unsigned short* out) { frontend_card().GetCaptureFormat(out); }
void SetCaptureFormat(unsigned char autoflag, unsigned char preset) { frontend_card().SetCaptureFormat(autoflag, preset); }

void advanced_setting(advice_number settings) { frontend_card().advanced_setting(settings); }
void write_M23Register(int count, int* addrs, int* values) { frontend_card().write_M23Register(count, addrs, values); }
void read_M23Register(int count, int* values) { frontend_card().read_M23Register(count, values); }

void getoutputformat()
{
    int regs[zeb_eeprom::encoder_entries] = {};
    unsigned char mode[4] = {};
    frontend_card().getoutputformat(regs, mode);
}

void setMute(int mute) { frontend_card().setMute(mute); }
void setprogname(unsigned char* name) { frontend_card().setprogname(name); }

unsigned char spi_CheckFree(unsigned char kind) { return frontend_card().spi_CheckFree(kind); }
void spi_WriteEnable() { frontend_card().spi_WriteEnable(); }
void spi_WriteDisable() { frontend_card().spi_WriteDisable(); }
unsigned char spi_GetFlashID(unsigned char* id) { return frontend_card().spi_GetFlashID(id); }
unsigned char spi_ChipErase() { return frontend_card().spi_ChipErase(); }
unsigned char spi_ChipEraseStatus() { return frontend_card().spi_ChipEraseStatus(); }
unsigned char spi_read32bit(unsigned char* addr, unsigned int* word) { return frontend_card().spi_read32bit(addr, word); }
unsigned char spi_read1page(unsigned char* addr, unsigned char* buf) { return frontend_card().spi_read1page(addr, buf); }
unsigned char spi_Write32bit(unsigned char* addr, unsigned int* word) { return frontend_card().spi_Write32bit(addr, word); }
unsigned char spi_Write1page(unsigned char* addr, unsigned char* page) { return frontend_card().spi_Write1page(addr, page); }
void spi_EnterDeepPowerDown() { frontend_card().spi_EnterDeepPowerDown(); }

int software_reset() { return software_reset(frontend_card()); }
int mcu_reset() { return mcu_reset(frontend_card()); }
void output_auto() { output_auto(frontend_card()); }
void output_manual(int preset) { output_manual(frontend_card(), preset); }
void output_advanced(advice_number a) { output_advanced(frontend_card(), a); }
