#include "zebecp3-spi.h"

#include "zeb_program.h"

#include <cmath>
#include <cstring>
#include <unistd.h>

namespace {

const zeb_program& P() { return zeb_current_program(); }

// Window words of the microcontroller mailbox.
constexpr unsigned char MB_STATUS = 0;  // command word when written
constexpr unsigned char MB_DATA0 = 4;
constexpr unsigned char MB_DATA1 = 8;
constexpr unsigned char MB_ACK = 12;

constexpr unsigned int MB_HANDSHAKE = 0x01;
constexpr unsigned int MB_WRITE_FAILED = 0x02;
constexpr unsigned int MB_MCU_BUSY = 0x04;

constexpr unsigned int OP_MCU_ERASE = 0x00;
constexpr unsigned int OP_MCU_READ = 0x01;
constexpr unsigned int OP_MCU_WRITE = 0x02;
constexpr unsigned int OP_MCU_RESET = 0x03;
constexpr unsigned int OP_24CXX_WRITE = 0x30;
constexpr unsigned int OP_24CXX_READ = 0x31;

constexpr unsigned int command_word(unsigned int opcode, unsigned int count, unsigned int high,
                                    unsigned int low)
{
    return (opcode & 0xff) | (count & 0xff) << 8 | (high & 0xff) << 16 | (low & 0xff) << 24;
}

// Capture registers.
constexpr unsigned char REG_CAPTURE_RESET = 0x44;
constexpr unsigned char REG_AUTO_FORMAT = 0x48;  // input resolution when read
constexpr unsigned char REG_PRESET = 0x4C;       // input rate and scan when read

// EEPROM layout.
constexpr unsigned char EE_ENTRY_COUNT = 16;
constexpr unsigned char EE_NAME_START = 18;
constexpr unsigned char EE_NAME_LENGTH = 19;
constexpr unsigned char EE_AUTO_FLAG = 20;
constexpr unsigned char EE_PRESET = 21;
constexpr unsigned char EE_MUTE = 22;
constexpr unsigned char EE_ENTRIES = 32;
constexpr unsigned int EE_NAME = 96;
constexpr unsigned int EE_NAME_MAX = 256 - EE_NAME;

constexpr int ENCODER_ENTRIES = 11;
constexpr int RESTART_ROUNDS = 100;

// SPI controller registers and flash opcodes.
constexpr unsigned char SPI_CONTROL = 16;
constexpr unsigned char SPI_SEND0 = 20;
constexpr unsigned char SPI_SEND1 = 24;
constexpr unsigned char SPI_RECEIVED = 28;
constexpr unsigned char SPI_VERSION = 32;

constexpr unsigned int FLASH_WRITE_ENABLE = 0x06;
constexpr unsigned int FLASH_WRITE_DISABLE = 0x04;
constexpr unsigned int FLASH_RELEASE_POWER_DOWN = 0xAB;
constexpr unsigned int FLASH_READ_ID = 0x9F;
constexpr unsigned int FLASH_READ_STATUS = 0x05;
constexpr unsigned int FLASH_CHIP_ERASE = 0xC7;
constexpr unsigned int FLASH_READ = 0x03;
constexpr unsigned int FLASH_PAGE_PROGRAM = 0x02;
constexpr unsigned int FLASH_DEEP_POWER_DOWN = 0xB9;
constexpr unsigned int FLASH_WIP = 0x01;

// Control words: receive bit 4, always bit 5, end bit 6, begin bit 7,
// received count in bits 8 to 11, sent count in bits 12 to 15.
constexpr unsigned int control(bool receive, bool end, bool begin, unsigned int received,
                               unsigned int sent)
{
    return (receive ? 0x10u : 0u) | 0x20u | (end ? 0x40u : 0u) | (begin ? 0x80u : 0u) |
           received << 8 | sent << 12;
}
constexpr unsigned int CTL_COMMAND = control(false, true, true, 0, 1);
constexpr unsigned int CTL_READ_ID = control(true, true, true, 3, 1);
constexpr unsigned int CTL_READ_STATUS = control(true, true, true, 1, 1);
constexpr unsigned int CTL_READ_WORD = control(true, true, true, 4, 4);
constexpr unsigned int CTL_PROGRAM_WORD = control(false, true, true, 0, 8);
constexpr unsigned int CTL_PROGRAM_FIRST = control(false, false, true, 0, 8);
constexpr unsigned int CTL_PROGRAM_MIDDLE = control(false, false, false, 0, 8);
constexpr unsigned int CTL_PROGRAM_LAST = control(false, true, false, 0, 4);
static_assert(CTL_COMMAND == 0x10E0 && CTL_READ_ID == 0x13F0 && CTL_READ_STATUS == 0x11F0 &&
                  CTL_READ_WORD == 0x44F0 && CTL_PROGRAM_WORD == 0x80E0 &&
                  CTL_PROGRAM_FIRST == 0x80A0 && CTL_PROGRAM_MIDDLE == 0x8020 &&
                  CTL_PROGRAM_LAST == 0x4060,
              "SPI control words");

constexpr unsigned char SPI_WAIT_SHORT = 1;  // after sending one byte
constexpr unsigned char SPI_WAIT_LONG = 2;   // after sending four or eight

unsigned int word_of(const unsigned char* bytes)
{
    unsigned int w;
    std::memcpy(&w, bytes, sizeof w);
    return w;
}

void store_word(unsigned char* bytes, unsigned int w) { std::memcpy(bytes, &w, sizeof w); }

// The flash receives address byte 0 first, right after the opcode.
unsigned int with_address(unsigned int opcode, const unsigned char* addr)
{
    return opcode | unsigned(addr[0]) << 8 | unsigned(addr[1]) << 16 | unsigned(addr[2]) << 24;
}

}  // namespace

// ---- Requests

void zebecp3::setFrontend(int fd) { i_frontend = fd; }

void zebecp3::zeb_write(unsigned char addr, unsigned int value)
{
    reg_record r{};
    r.addr = addr;
    r.value = value;
    ioctl(i_frontend, REG_WRITE, &r);
}

unsigned int zebecp3::zeb_read(unsigned char addr)
{
    reg_record r{};
    r.addr = addr;
    if (ioctl(i_frontend, REG_READ, &r) < 0)
        zeb_say(P().read_error);
    return r.value;
}

void zebecp3::zeb_24cxx_wr(unsigned char offset, unsigned int value)
{
    window_record w{};
    w.base = WINDOW_BASE;
    w.offset = offset;
    w.value = value;
    ioctl(i_frontend, WINDOW_WRITE, &w);
}

unsigned int zebecp3::zeb_24cxx_rd(unsigned char offset)
{
    window_record w{};
    w.base = WINDOW_BASE;
    w.offset = offset;
    ioctl(i_frontend, WINDOW_READ, &w);
    return w.value;
}

unsigned char zebecp3::read_mcu_status() { return zeb_24cxx_rd(MB_STATUS) & MB_MCU_BUSY; }

// ---- Mailbox and parameter EEPROM

void zebecp3::check_mcuWorkOK()
{
    const int polls = P().mailbox_polls;
    unsigned int status = 0;
    bool taken = false;
    for (int i = 0; i < polls && !taken; ++i) {
        usleep(1000);
        status = zeb_24cxx_rd(MB_STATUS);
        taken = !(status & MB_HANDSHAKE);
    }
    if (!taken) {
        zeb_say(P().receiver_busy);
        if (read_mcu_status())
            zeb_say(P().mcu_busy);
        zeb_24cxx_wr(MB_ACK, status);
        return;
    }
    zeb_24cxx_wr(MB_ACK, status);
    for (int i = 0; i < polls; ++i) {
        usleep(1000);
        if (zeb_24cxx_rd(MB_STATUS) & MB_HANDSHAKE)
            return;
    }
    zeb_say(P().completion_timeout);
}

void zebecp3::mcu_software_reset()
{
    zeb_24cxx_wr(MB_STATUS, command_word(OP_MCU_RESET, 0, 0, 0));
    check_mcuWorkOK();
}

void zebecp3::erase_mcu(unsigned int addr)
{
    zeb_24cxx_wr(MB_STATUS, command_word(OP_MCU_ERASE, 0, addr >> 8, addr));
    check_mcuWorkOK();
}

void zebecp3::write_mcu(unsigned int addr, unsigned char* buf)
{
    zeb_24cxx_wr(MB_DATA0, word_of(buf));
    zeb_24cxx_wr(MB_DATA1, word_of(buf + 4));
    zeb_24cxx_wr(MB_STATUS, command_word(OP_MCU_WRITE, 8, addr >> 8, addr));
    check_mcuWorkOK();
}

void zebecp3::read_mcu(unsigned int addr, unsigned char* buf)
{
    zeb_24cxx_wr(MB_STATUS, command_word(OP_MCU_READ, 8, addr >> 8, addr));
    check_mcuWorkOK();
    store_word(buf, zeb_24cxx_rd(MB_DATA0));
    store_word(buf + 4, zeb_24cxx_rd(MB_DATA1));
}

void zebecp3::read_24cxx(unsigned char addr, unsigned char num, unsigned char* buf)
{
    if (num == 0) {
        zeb_say(P().read_num_zero);
        return;
    }
    if (num > 8) {
        zeb_say(P().read_num_over);
        return;
    }
    zeb_24cxx_wr(MB_STATUS, command_word(OP_24CXX_READ, num, 0, addr));
    check_mcuWorkOK();
    store_word(buf, zeb_24cxx_rd(MB_DATA0));
    if (num > 4)
        store_word(buf + 4, zeb_24cxx_rd(MB_DATA1));
}

void zebecp3::write_24cxx(unsigned char addr, unsigned char num, unsigned char* buf)
{
    if (num == 0) {
        zeb_say(P().write_num_zero);
        return;
    }
    if (num > 8) {
        zeb_say(P().write_num_over);
        return;
    }
    zeb_24cxx_wr(MB_DATA0, word_of(buf));
    if (num > 4)
        zeb_24cxx_wr(MB_DATA1, word_of(buf + 4));
    zeb_24cxx_wr(MB_STATUS, command_word(OP_24CXX_WRITE, num, 0, addr));
    check_mcuWorkOK();
    if (zeb_24cxx_rd(MB_STATUS) & MB_WRITE_FAILED)
        zeb_say(P().write_failed);
}

// ---- Capture format

void zebecp3::CaptureSoftReset()
{
    zeb_write(REG_CAPTURE_RESET, 1);
    usleep(15000);
    zeb_write(REG_CAPTURE_RESET, 0);
}

void zebecp3::worksetreset()
{
    CaptureSoftReset();
    zeb_say(P().format_setting);
    for (int round = 0; round < RESTART_ROUNDS; ++round) {
        sleep(2);
        if (read_mcu_status() == 0) {
            zeb_say(P().format_set_ok);
            return;
        }
    }
}

void zebecp3::GetCaptureFormat(unsigned short* out)
{
    unsigned int size = zeb_read(REG_AUTO_FORMAT);
    unsigned int rate = zeb_read(REG_PRESET);
    unsigned short row = (size & 0xff) << 8 | (size >> 8 & 0xff);
    unsigned short column = (size >> 16 & 0xff) << 8 | (size >> 24 & 0xff);
    unsigned short freq = rate & 0xff;
    unsigned short scan = rate >> 8 & 1;
    if (P().round_vfreq) {
        if (freq >= 57 && freq <= 60)
            freq = 60;
        else if (freq >= 48 && freq <= 50)
            freq = 50;
        else if (freq == 23)
            freq = 24;
    }
    out[0] = row;
    out[1] = column;
    out[2] = freq;
    out[3] = scan;
    zeb_say(P().input_format, int(row), int(column), int(freq), int(scan));
}

void zebecp3::SetCaptureFormat(unsigned char autoflag, unsigned char preset)
{
    if (autoflag == 1) {
        zeb_write(REG_AUTO_FORMAT, 1);
    } else {
        zeb_write(REG_AUTO_FORMAT, 0);
        zeb_write(REG_PRESET, preset);
        zeb_say(P().preset[preset >= 1 && preset <= 7 ? preset : 0]);
    }
    worksetreset();
}

// ---- Encoder settings and read-back

namespace {

// The fractional multiples of the bit rate, truncated toward zero. Computed
// wide so that any bit rate converts without overflow; only the low 16 bits
// are stored.
int scaled(int value, double factor)
{
    return int(static_cast<long long>(std::trunc(double(value) * factor)));
}

int plus(int value, unsigned int add) { return int(unsigned(value) + add); }
int twice(int value) { return int(unsigned(value) * 2u); }

}  // namespace

void zebecp3::advanced_setting(advice_number a)
{
    int addrs[ENCODER_ENTRIES] = {0x1526, 0x152C, 0x152E, 0x1532, 0x1534, 0x1536,
                                  0x1538, 0x1104, 0x1584, 0x1586, 0x1588};
    int values[ENCODER_ENTRIES] = {
        plus(a.levelNum, a.profileNum == 1 ? 0x200 : 0x100),
        a.H_Num,
        a.V_Num,
        scaled(a.bitrateNum, 2.5),
        twice(a.bitrateNum),
        a.bitrateNum,
        scaled(a.bitrateNum, 0.5),
        scaled(a.bitrateNum, 3.5),
        0,
        twice(a.frameNum),
        1,
    };
    unsigned char count[4] = {0x00, ENCODER_ENTRIES, 0, 0};
    write_24cxx(EE_ENTRY_COUNT, 2, count);
    write_M23Register(ENCODER_ENTRIES, addrs, values);
    worksetreset();
}

void zebecp3::write_M23Register(int count, int* addrs, int* values)
{
    for (int i = 0; i < count; ++i) {
        unsigned char at = (unsigned char)(EE_ENTRIES + 4 * i);
        unsigned char addr[4] = {(unsigned char)(addrs[i] >> 8), (unsigned char)addrs[i], 0, 0};
        write_24cxx(at, 2, addr);
        unsigned char value[4] = {(unsigned char)(values[i] >> 8), (unsigned char)values[i], 0, 0};
        write_24cxx((unsigned char)(at + 2), 2, value);
    }
}

void zebecp3::read_M23Register(int count, int* values)
{
    for (int i = 0; i < count; ++i) {
        unsigned char buf[4] = {};
        read_24cxx((unsigned char)(EE_ENTRIES + 2 + 4 * i), 2, buf);
        values[i] = buf[0] * 256 + buf[1];
    }
}

void zebecp3::getoutputformat(int* regs, unsigned char* mode)
{
    read_24cxx(EE_AUTO_FLAG, 1, mode);
    if (mode[0] == 1) {
        zeb_say(P().latest_auto);
        mode[0] = 1, mode[1] = 0, mode[2] = 0;
        return;
    }
    read_24cxx(EE_PRESET, 1, mode);
    unsigned char preset = mode[0];
    if (preset != 0) {
        zeb_say(P().latest_manual);
        zeb_say(P().latest_manual_preset[preset <= 7 ? preset : 0]);
        mode[0] = 0, mode[1] = preset, mode[2] = 0;
        return;
    }
    read_24cxx(EE_ENTRY_COUNT, 2, mode);
    unsigned char entries = mode[1];
    if (entries == ENCODER_ENTRIES) {
        read_M23Register(ENCODER_ENTRIES, regs);
        zeb_say(P().latest_advanced, regs[1], regs[2], regs[9] / 2);
    }
    mode[0] = 0, mode[1] = 0, mode[2] = entries;
}

void zebecp3::setMute(int mute)
{
    unsigned char buf[4] = {(unsigned char)mute, 0, 0, 0};
    write_24cxx(EE_MUTE, 1, buf);
    if (P().mute_restarts_capture)
        worksetreset();
}

void zebecp3::setprogname(unsigned char* name)
{
    size_t n = std::strlen(reinterpret_cast<const char*>(name));
    // The name area ends at the last EEPROM address: refuse rather than wrap
    // around onto the configuration or leave half a name.
    if (n > EE_NAME_MAX) {
        zeb_say(P().name_too_long, n, int(EE_NAME_MAX));
        return;
    }
    unsigned char buf[4] = {(unsigned char)EE_NAME, 0, 0, 0};
    write_24cxx(EE_NAME_START, 1, buf);
    buf[0] = (unsigned char)n;
    write_24cxx(EE_NAME_LENGTH, 1, buf);
    for (size_t i = 0; i < n; ++i) {
        buf[0] = name[i];
        write_24cxx((unsigned char)(EE_NAME + i), 1, buf);
    }
    worksetreset();
}

// ---- SPI flash

namespace {

// One controller transfer: the bytes to send, then the control word, whose
// upper half repeats the upper half of the first send word.
void transfer(zebecp3& card, unsigned int send0, unsigned int ctl)
{
    card.zeb_write(SPI_SEND0, send0);
    card.zeb_write(SPI_CONTROL, ctl | (send0 & 0xffff0000u));
}

void transfer(zebecp3& card, unsigned int send0, unsigned int send1, unsigned int ctl)
{
    card.zeb_write(SPI_SEND0, send0);
    card.zeb_write(SPI_SEND1, send1);
    card.zeb_write(SPI_CONTROL, ctl | (send0 & 0xffff0000u));
}

// The status polls after a program. The first poll carries the upper bytes of
// the command's last control word, later ones those of the status read before.
struct status_poll {
    unsigned int carried;
    unsigned int status = 0;

    // false when the controller stays busy
    bool poll(zebecp3& card)
    {
        transfer(card, (carried & 0xffffff00u) | FLASH_READ_STATUS, CTL_READ_STATUS);
        if (!card.spi_CheckFree(SPI_WAIT_SHORT)) {
            zeb_say(P().spi_poll_error);
            return false;
        }
        status = card.zeb_read(SPI_RECEIVED);
        carried = status;
        return true;
    }
};

}  // namespace

unsigned char zebecp3::spi_CheckFree(unsigned char kind)
{
    const int polls = kind == SPI_WAIT_SHORT ? 200 : kind == SPI_WAIT_LONG ? 400 : 500;
    unsigned int state = 0;
    for (int i = 0; i < polls; ++i) {
        state = zeb_read(SPI_CONTROL);
        if ((state & 0xff) == 1)
            return 1;
    }
    zeb_say(P().spi_check_error, state & 0xff, state >> 8 & 0xff, state >> 16 & 0xff, state >> 24);
    return 0;
}

void zebecp3::spi_WriteEnable()
{
    transfer(*this, FLASH_WRITE_ENABLE, CTL_COMMAND);
    if (!spi_CheckFree(SPI_WAIT_SHORT))
        zeb_say(P().spi_write_enable_error);
}

void zebecp3::spi_WriteDisable()
{
    transfer(*this, FLASH_WRITE_DISABLE, CTL_COMMAND);
    if (!spi_CheckFree(SPI_WAIT_SHORT))
        zeb_say(P().spi_write_disable_error);
}

unsigned char zebecp3::spi_GetFlashID(unsigned char* id)
{
    zeb_write(SPI_RECEIVED, 1);
    transfer(*this, FLASH_RELEASE_POWER_DOWN, CTL_COMMAND);
    if (!spi_CheckFree(SPI_WAIT_SHORT)) {
        zeb_say(P().spi_release_error);
        return 0;
    }
    transfer(*this, 0x10u << 8 | FLASH_READ_ID, CTL_READ_ID);
    if (!spi_CheckFree(SPI_WAIT_SHORT)) {
        zeb_say(P().spi_read_id_error);
        return 0;
    }
    unsigned int received = zeb_read(SPI_RECEIVED);
    id[0] = received & 0xff;
    id[1] = received >> 8 & 0xff;
    id[2] = received >> 16 & 0xff;
    unsigned int version = zeb_read(SPI_VERSION);
    for (int i = 0; i < 4; ++i) {
        id[3 + i] = version >> (8 * i) & 0xff;
        zeb_say(P().spi_version, unsigned(id[3 + i]));
    }
    return (id[0] == 0xC2 && id[1] == 0x20 && id[2] == 0x16) ||
           (id[0] == 0xEF && id[1] == 0x40 && id[2] == 0x16);
}

unsigned char zebecp3::spi_ChipErase()
{
    spi_WriteEnable();
    transfer(*this, FLASH_CHIP_ERASE, CTL_COMMAND);
    usleep(1000);
    return 1;
}

unsigned char zebecp3::spi_ChipEraseStatus()
{
    transfer(*this, FLASH_READ_STATUS, CTL_READ_STATUS);
    usleep(2000);
    unsigned int status = zeb_read(SPI_RECEIVED);
    zeb_say(P().spi_status, status & 0xff);
    return !(status & FLASH_WIP);
}

unsigned char zebecp3::spi_read32bit(unsigned char* addr, unsigned int* word)
{
    transfer(*this, with_address(FLASH_READ, addr), CTL_READ_WORD);
    if (!spi_CheckFree(SPI_WAIT_LONG)) {
        zeb_say(P().spi_read_error);
        return 0;
    }
    *word = zeb_read(SPI_RECEIVED);
    return 1;
}

// The start address is addr[0..2], addr[0] the most significant byte, in the
// order the flash receives them, as for the other operations; addr[3] is not
// used. Before each word the caller's bytes are set to that word's address.
unsigned char zebecp3::spi_read1page(unsigned char* addr, unsigned char* buf)
{
    const unsigned int start = unsigned(addr[0]) << 16 | unsigned(addr[1]) << 8 | addr[2];
    for (unsigned int k = 0; k < 64; ++k) {
        const unsigned int at = (start + 4 * k) & 0xffffff;
        addr[0] = at >> 16 & 0xff;
        addr[1] = at >> 8 & 0xff;
        addr[2] = at & 0xff;
        transfer(*this, with_address(FLASH_READ, addr), CTL_READ_WORD);
        if (!spi_CheckFree(SPI_WAIT_LONG)) {
            zeb_say(P().spi_read_error);
            return 0;
        }
        unsigned int word = zeb_read(SPI_RECEIVED);
        store_word(buf + 4 * k, word);
        zeb_say(P().spi_read1page_word, at, word);
        usleep(1000);
    }
    return 1;
}

unsigned char zebecp3::spi_Write32bit(unsigned char* addr, unsigned int* word)
{
    const unsigned int send0 = with_address(FLASH_PAGE_PROGRAM, addr);
    transfer(*this, send0, *word, CTL_PROGRAM_WORD);
    if (!spi_CheckFree(SPI_WAIT_LONG)) {
        zeb_say(P().spi_write_error);
        return 0;
    }
    constexpr int limit = 50;
    status_poll s{CTL_PROGRAM_WORD | (send0 & 0xffff0000u)};
    int polls = 0;
    do {
        usleep(1000);
        if (!s.poll(*this))
            return 0;
        ++polls;
    } while ((s.status & FLASH_WIP) && polls < limit);
    if (polls == limit)
        zeb_say(P().spi_write32_busy, s.status & 0xff);
    return 1;
}

unsigned char zebecp3::spi_Write1page(unsigned char* addr, unsigned char* page)
{
    spi_WriteEnable();
    unsigned int send0 = with_address(FLASH_PAGE_PROGRAM, addr);
    unsigned int ctl = CTL_PROGRAM_FIRST;
    transfer(*this, send0, word_of(page), ctl);
    bool free = spi_CheckFree(SPI_WAIT_LONG);
    for (int k = 0; free && k < 31; ++k) {
        send0 = word_of(page + 8 * k + 4);
        ctl = CTL_PROGRAM_MIDDLE;
        transfer(*this, send0, word_of(page + 8 * k + 8), ctl);
        free = spi_CheckFree(SPI_WAIT_LONG);
    }
    if (free) {
        send0 = word_of(page + 252);
        ctl = CTL_PROGRAM_LAST;
        transfer(*this, send0, ctl);
        free = spi_CheckFree(SPI_WAIT_LONG);
    }
    if (!free) {
        zeb_say(P().spi_write_error);
        return 0;
    }
    constexpr int limit = 250;
    status_poll s{ctl | (send0 & 0xffff0000u)};
    int polls = 0;
    do {
        if (!s.poll(*this))
            return 0;
        ++polls;
    } while ((s.status & FLASH_WIP) && polls < limit);
    if (polls < limit)
        return 1;
    zeb_say(P().spi_write1page_busy, s.status & 0xff);
    return 0;
}

void zebecp3::spi_EnterDeepPowerDown()
{
    transfer(*this, FLASH_DEEP_POWER_DOWN, CTL_COMMAND);
    if (!spi_CheckFree(SPI_WAIT_SHORT)) {
        zeb_say(P().spi_deep_power_down_error);
        return;
    }
    zeb_write(SPI_RECEIVED, 0x1000);
}
