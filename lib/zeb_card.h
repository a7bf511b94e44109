// SPDX-License-Identifier: GPL-2.0-or-later
// The card as its clients address it, in one place for the library, the
// simulated card and the tests: where both programs reach it, its registers,
// the microcontroller mailbox, the SPI flash controller, where the parameter
// EEPROM keeps what the programs read and write, and how long the library
// waits for the card.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// The frontend node of an adapter and frontend number, as both programs open it.
inline void zeb_node_path(char* out, std::size_t size, int adapter, int frontend)
{
    std::snprintf(out, size, "/dev/dvb/adapter%d/frontend%d", adapter, frontend);
}

// Card registers.
namespace zeb_reg {
constexpr unsigned char spi_control = 0x10;  // write: starts a transfer; read: 1 in the low byte when free
constexpr unsigned char spi_send0 = 0x14;    // bytes 1 to 4 to send
constexpr unsigned char spi_send1 = 0x18;    // bytes 5 to 8 to send
constexpr unsigned char spi_received = 0x1c;
constexpr unsigned char spi_version = 0x20;
constexpr unsigned char capture_reset = 0x44;
constexpr unsigned char auto_format = 0x48;  // read: input resolution; write: automatic flag
constexpr unsigned char preset = 0x4c;       // read: input rate and scan; write: preset
}  // namespace zeb_reg

// The microcontroller mailbox: a window of four words at the window base.
namespace zeb_mailbox {
constexpr unsigned int window_base = 0x4000;
constexpr unsigned char status = 0;  // command word when written
constexpr unsigned char data0 = 4;
constexpr unsigned char data1 = 8;
constexpr unsigned char ack = 12;

// Status bits
constexpr unsigned int handshake = 0x01;
constexpr unsigned int write_failed = 0x02;
constexpr unsigned int mcu_busy = 0x04;

// Opcodes (command word bits 0-7)
constexpr unsigned int op_mcu_erase = 0x00;
constexpr unsigned int op_mcu_read = 0x01;
constexpr unsigned int op_mcu_write = 0x02;
constexpr unsigned int op_mcu_reset = 0x03;
constexpr unsigned int op_24cxx_write = 0x30;
constexpr unsigned int op_24cxx_read = 0x31;

// Opcode, byte count, then the address, high byte before low.
constexpr unsigned int command_word(unsigned int opcode, unsigned int count, unsigned int high,
                                    unsigned int low)
{
    return (opcode & 0xff) | (count & 0xff) << 8 | (high & 0xff) << 16 | (low & 0xff) << 24;
}
}  // namespace zeb_mailbox

// The SPI controller's control word and the serial flash behind it.
namespace zeb_spi {
constexpr unsigned int receive = 0x10;  // bit 4
constexpr unsigned int always = 0x20;   // bit 5
constexpr unsigned int end = 0x40;      // bit 6: deselect after the transfer
constexpr unsigned int begin = 0x80;    // bit 7: select before it
constexpr unsigned int received_shift = 8;  // bits 8-11: bytes to receive
constexpr unsigned int sent_shift = 12;     // bits 12-15: bytes to send

// Flash opcodes
constexpr unsigned int flash_write_disable = 0x04;
constexpr unsigned int flash_write_enable = 0x06;
constexpr unsigned int flash_page_program = 0x02;
constexpr unsigned int flash_read = 0x03;
constexpr unsigned int flash_read_status = 0x05;
constexpr unsigned int flash_read_id = 0x9F;
constexpr unsigned int flash_release_power_down = 0xAB;
constexpr unsigned int flash_deep_power_down = 0xB9;
constexpr unsigned int flash_chip_erase = 0xC7;

// Flash status bits
constexpr unsigned int flash_wip = 0x01;
constexpr unsigned int flash_wel = 0x02;

constexpr std::size_t flash_page = 256;
}  // namespace zeb_spi

// Parameter EEPROM layout (byte addresses).
namespace zeb_eeprom {
constexpr unsigned char mac = 8;  // six bytes
constexpr unsigned char mac_length = 6;
constexpr unsigned char entry_count = 16;  // two bytes, 0 then the count
constexpr unsigned char name_start = 18;   // where the program name begins
constexpr unsigned char name_length = 19;
constexpr unsigned char auto_flag = 20;
constexpr unsigned char preset = 21;
constexpr unsigned char mute = 22;
constexpr unsigned char entries = 32;  // encoder entries: address, value; two bytes each
constexpr unsigned int name = 96;
constexpr unsigned int name_max = 256 - name;  // the name area ends at the last address
constexpr std::size_t size = 256;

// How many encoder register entries an advanced setting stores (zeb_encoder).
constexpr int encoder_entries = 11;
// Where entry i keeps its encoder address, and its value two bytes on.
constexpr unsigned int entry_address(int i) { return entries + 4u * unsigned(i); }
constexpr unsigned int entry_value(int i) { return entry_address(i) + 2; }
}  // namespace zeb_eeprom

// The six advanced encoder settings, in this order.
struct advice_number {
    int profileNum;
    int levelNum;
    int H_Num;
    int V_Num;
    int bitrateNum;
    int frameNum;
};

// The encoder register entries that an advanced setting stores: what each
// keeps, the encoder address it goes to, how the settings become their values
// and how the values give the settings back.
namespace zeb_encoder {

// The entries by name, in the order they are stored.
enum entry : int {
    profile_level,  // profile code in the high byte, level in the low byte
    width,
    height,
    bitrate_x2_5,
    bitrate_x2,
    bitrate,
    bitrate_x0_5,
    bitrate_x3_5,
    always_0,
    frame_rate_x2,
    always_1,
};

struct entry_description {
    unsigned int address;  // encoder register
    const char* meaning;   // as cardsim --show names it
};

constexpr entry_description entries[zeb_eeprom::encoder_entries] = {
    {0x1526, "profile and level"}, {0x152C, "width"},          {0x152E, "height"},
    {0x1532, "bit rate x 2.5"},    {0x1534, "bit rate x 2"},   {0x1536, "bit rate"},
    {0x1538, "bit rate x 0.5"},    {0x1104, "bit rate x 3.5"}, {0x1584, "(always 0)"},
    {0x1586, "frame rate x 2"},    {0x1588, "(always 1)"},
};
static_assert(always_1 + 1 == zeb_eeprom::encoder_entries);

// The profiles by the number the programs take (profileNum; any number but
// main counts as high) and the code the first entry keeps in its high byte.
constexpr int profile_high = 0, profile_main = 1;
constexpr const char* profile_names[] = {"high", "main"};  // by profileNum
constexpr unsigned int code_high = 1, code_main = 2;

// The levels both programs offer: the H.264 level times ten.
constexpr int levels[] = {30, 31, 32, 40, 41, 42};

// The fractional multiples of the bit rate, truncated toward zero. Computed
// wide so that any bit rate converts without overflow; only the low 16 bits
// are stored.
inline int scaled(int value, double factor)
{
    return int(static_cast<long long>(std::trunc(double(value) * factor)));
}
constexpr int plus(int value, unsigned int add) { return int(unsigned(value) + add); }
constexpr int twice(int value) { return int(unsigned(value) * 2u); }

// The first entry's parts, and the frame rate, as read back.
constexpr unsigned int profile_code(unsigned int value) { return value >> 8; }
constexpr unsigned int level(unsigned int value) { return value & 0xff; }
constexpr bool known_profile(unsigned int value)
{
    return profile_code(value) == code_high || profile_code(value) == code_main;
}
constexpr int frame_rate(int frame_rate_x2_value) { return frame_rate_x2_value / 2; }

// The values of the eleven entries for these settings, before their cut to 16 bits.
inline void encode(const advice_number& a, int* values)
{
    values[profile_level] = plus(a.levelNum, (a.profileNum == profile_main ? code_main : code_high) << 8);
    values[width] = a.H_Num;
    values[height] = a.V_Num;
    values[bitrate_x2_5] = scaled(a.bitrateNum, 2.5);
    values[bitrate_x2] = twice(a.bitrateNum);
    values[bitrate] = a.bitrateNum;
    values[bitrate_x0_5] = scaled(a.bitrateNum, 0.5);
    values[bitrate_x3_5] = scaled(a.bitrateNum, 3.5);
    values[always_0] = 0;
    values[frame_rate_x2] = twice(a.frameNum);
    values[always_1] = 1;
}

// The settings that stored these values, read back (16 bits each); a profile
// code other than the two reads as high (known_profile tells).
inline advice_number decode(const int* values)
{
    const unsigned int first = unsigned(values[profile_level]);
    return advice_number{profile_code(first) == code_main ? profile_main : profile_high,
                         int(level(first)),
                         values[width],
                         values[height],
                         values[bitrate],
                         frame_rate(values[frame_rate_x2])};
}

}  // namespace zeb_encoder

// The waits for the card after a restart of its capture logic or of its
// microcontroller: rounds of a plain sleep, then the library gives up silently.
namespace zeb_wait {
constexpr int restart_rounds = 100;
constexpr unsigned int restart_round_seconds = 2;
}  // namespace zeb_wait
