// SPDX-License-Identifier: GPL-2.0-or-later
// ravelins: parse everything, open the frontend once, run the requested
// actions in a fixed order, exit.
#include "hdmi_format.h"

#include "frontend.h"
#include "zeb_card.h"
#include "zeb_program.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

int i_adapter, i_fenum;
int i_information, i_softwareRST, i_MCU_RST, i_macAddress, i_outputEN;
int i_muteEN, i_muteNum;
int i_prognameEN;
char* str_progname;
int i_autoMode;
int i_manualenable, i_manualNum;
int i_profileEN, i_profileNum;
int i_levelEN, i_levelNum;
int i_H_EN, i_H_Num;
int i_V_EN, i_V_Num;
int i_bitrateEN, i_bitrateNum;
int i_frameEN, i_frameNum;

namespace {

const option long_options[] = {
    {"adapter", required_argument, nullptr, 'a'},
    {"frontend-number", required_argument, nullptr, 'n'},
    {"software reset", no_argument, nullptr, 'r'},
    {"MCU reset", no_argument, nullptr, 'R'},
    {"Mac address", no_argument, nullptr, 'N'},
    {"Auto Mode to output format", no_argument, nullptr, 'A'},
    {"manual mode to output format ", required_argument, nullptr, 'M'},
    {"profile", required_argument, nullptr, 'p'},
    {"level", required_argument, nullptr, 'l'},
    {"H", required_argument, nullptr, 'H'},
    {"V", required_argument, nullptr, 'V'},
    {"bitrate", required_argument, nullptr, 'B'},
    {"frame", required_argument, nullptr, 'F'},
    {"information", no_argument, nullptr, 'i'},
    {"outputformat", no_argument, nullptr, 'c'},
    {"mute", required_argument, nullptr, 'x'},
    {"set prog Name", required_argument, nullptr, 'K'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const char short_options[] = "a:n:rRNcx:K:AM:p:l:H:V:B:F:ih";

const char* const usage_lines[] = {
    "",
    "Usage: ravelins:",
    "-a <adapter> -n <frontend number> ",
    "-i : putout the information format of the input",
    "-r : software reset",
    "-R : MCU reset",
    "-N : Mac address ",
    "",
    "",
    "-c : check the latest configuration of the output format",
    "-x : set output mute(1:mute,0:normal) when audio and video are out of sync",
    "-K <progName> : set program Name ",
    "set output Format,one of the following three:",
    "",
    "Auto mode: -A (the same with input format)",
    "",
    "Manual: -M (1--7,1:super 1920*1080,2:ultra 1440*1080,3:excellent 1280*720,4:good 1120*720,"
    "5:fair 960*540,6:poor 800*480,7:mobile 480*272)",
    "",
    "Advanced: -p : profile(0:high, 1:Main) -l :level (30/31/32/40/41/42) -H(size) "
    "-V(size)(1920*1080--480*272) -B : bitRate(350--18000K) -F : frameRate : (24--60)",
    "~Output Format:",
    "",
};

// No range checks: a long keeps the low 32 bits where it is wider than int,
// and strtol saturates where it is not.
int number(const char* text) { return static_cast<int>(std::strtol(text, nullptr, 0)); }

// The library's messages on standard output: exactly as stored, or as a line.
void print_message(const char* text, bool line)
{
    if (line)
        std::puts(text);
    else
        std::fputs(text, stdout);
}

void print_mac_address()
{
    unsigned char mac[8] = {};
    read_24cxx(zeb_eeprom::mac, zeb_eeprom::mac_length, mac);
    std::printf("mac address: 0x%02x,0x%02x,0x%02x,0x%02x,0x%02x,0x%02x\n", mac[0], mac[1], mac[2],
                mac[3], mac[4], mac[5]);
}

advice_number advanced_options()
{
    return advice_number{i_profileNum, i_levelNum, i_H_Num, i_V_Num, i_bitrateNum, i_frameNum};
}

void set_output_format()
{
    if (i_autoMode) {
        output_auto();
    } else if (i_manualenable) {
        output_manual(i_manualNum);
    } else if (i_profileEN && i_levelEN && i_H_EN && i_V_EN && i_bitrateEN && i_frameEN) {
        output_advanced(advanced_options());
    }
}

void parse(int argc, char** argv)
{
    int c;
    while ((c = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        switch (c) {
        case 'a': i_adapter = number(optarg); break;
        case 'n': i_fenum = number(optarg); break;
        case 'i': i_information = 1; break;
        case 'r': i_softwareRST = 1; break;
        case 'R': i_MCU_RST = 1; break;
        case 'N': i_macAddress = 1; break;
        case 'c': i_outputEN = 1; break;
        case 'A': i_autoMode = 1; break;
        case 'x': i_muteEN = 1; i_muteNum = number(optarg); break;
        case 'K': i_prognameEN = 1; str_progname = optarg; break;
        case 'M': i_manualenable = 1; i_manualNum = number(optarg); break;
        case 'p': i_profileEN = 1; i_profileNum = number(optarg); break;
        case 'l': i_levelEN = 1; i_levelNum = number(optarg); break;
        case 'H': i_H_EN = 1; i_H_Num = number(optarg); break;
        case 'V': i_V_EN = 1; i_V_Num = number(optarg); break;
        case 'B': i_bitrateEN = 1; i_bitrateNum = number(optarg); break;
        case 'F': i_frameEN = 1; i_frameNum = number(optarg); break;
        default: usage();  // -h, an unknown option, a missing argument
        }
    }
    if (optind < argc)
        usage();
}

}  // namespace

void advanced_setting() { advanced_setting(advanced_options()); }

void usage()
{
    for (const char* line : usage_lines)
        std::puts(line);
    std::exit(1);
}

int main(int argc, char** argv)
{
    zeb_select_program(zeb_program_ravelins, print_message);

    if (argc < 2)
        usage();
    parse(argc, argv);

    char path[64];
    zeb_node_path(path, sizeof path, i_adapter, i_fenum);
    i_frontend = open(path, O_RDWR | O_NONBLOCK);
    if (i_frontend < 0) {
        std::printf("opening device %s failed (%s)", path, std::strerror(errno));
        return 1;
    }

    if (i_information) {
        unsigned short format[4];
        GetCaptureFormat(format);
    }
    if (i_softwareRST)
        software_reset();
    if (i_MCU_RST)
        mcu_reset();
    if (i_macAddress)
        print_mac_address();
    if (i_outputEN)
        getoutputformat();
    if (i_muteEN)
        setMute(i_muteNum);
    if (i_prognameEN)
        setprogname(reinterpret_cast<unsigned char*>(str_progname));
    set_output_format();

    if (i_information || i_softwareRST || i_MCU_RST || i_macAddress || i_autoMode ||
        i_manualenable || i_outputEN || i_profileEN || i_H_EN || i_prognameEN || i_muteEN)
        return 0;
    usage();
}
