// SPDX-License-Identifier: GPL-2.0-or-later
// The card access library as free functions over the tool's one open
// frontend: the tool reaches the card through these and nothing else.
#pragma once

#include "zebecp3-spi.h"

extern int i_frontend;

void setFrontend(int fd);
void zeb_write(unsigned char addr, unsigned int value);
unsigned int zeb_read(unsigned char addr);
void zeb_24cxx_wr(unsigned char offset, unsigned int value);
unsigned int zeb_24cxx_rd(unsigned char offset);
unsigned char read_mcu_status();

void check_mcuWorkOK();
void mcu_software_reset();
void erase_mcu(unsigned int addr);
void write_mcu(unsigned int addr, unsigned char* buf);
void read_mcu(unsigned int addr, unsigned char* buf);
void read_24cxx(unsigned char addr, unsigned char num, unsigned char* buf);
void write_24cxx(unsigned char addr, unsigned char num, unsigned char* buf);

void CaptureSoftReset();
void worksetreset();
void GetCaptureFormat(unsigned short* out);
void SetCaptureFormat(unsigned char autoflag, unsigned char preset);

void advanced_setting(advice_number settings);
void write_M23Register(int count, int* addrs, int* values);
void read_M23Register(int count, int* values);
// Prints the latest output configuration; keeps nothing.
void getoutputformat();
void setMute(int mute);
void setprogname(unsigned char* name);

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

// The reset and output-mode procedures of the library (card_ops.h) on i_frontend.
int software_reset();
int mcu_reset();
void output_auto();
void output_manual(int preset);
void output_advanced(advice_number a);
