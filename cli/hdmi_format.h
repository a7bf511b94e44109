// SPDX-License-Identifier: GPL-2.0-or-later
// Option state of ravelins, filled from the command line before the device is opened.
#pragma once

extern int i_adapter, i_fenum;
extern int i_information, i_softwareRST, i_MCU_RST, i_macAddress, i_outputEN;
extern int i_muteEN, i_muteNum;
extern int i_prognameEN;
extern char* str_progname;
extern int i_autoMode;
extern int i_manualenable, i_manualNum;
extern int i_profileEN, i_profileNum;
extern int i_levelEN, i_levelNum;
extern int i_H_EN, i_H_Num;
extern int i_V_EN, i_V_Num;
extern int i_bitrateEN, i_bitrateNum;
extern int i_frameEN, i_frameNum;

// Prints the usage text and ends the process with status 1.
[[noreturn]] void usage();

// The library's advanced_setting as ravelins has it: the six values from the option state.
void advanced_setting();
