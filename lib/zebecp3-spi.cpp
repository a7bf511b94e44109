// SPDX-License-Identifier: GPL-2.0-or-later
#include "zebecp3-spi.h"

#include "zeb_card.h"
#include "zeb_program.h"
#include "zeb_status.h"

#include <cerrno>

#include <cstring>
#include <unistd.h>

namespace {

const zeb_program& program() { return zeb_current_program(); }

namespace mb = zeb_mailbox;
namespace reg = zeb_reg;
namespace spi = zeb_spi;

void note(zeb_event_kind kind)
{
    zeb_event e{};
    e.kind = kind;
    e.command = zeb_detail::last_command();
    zeb_detail::note(e);
}

// Control words: receive bit 4, always bit 5, end bit 6, begin bit 7,
// received count in bits 8 to 11, sent count in bits 12 to 15.
constexpr unsigned int control(bool receives, bool ends, bool begins, unsigned int received,
                               unsigned int sent)
{
    return (receives ? spi::receive : 0u) | spi::always | (ends ? spi::end : 0u) |
           (begins ? spi::begin : 0u) | received << spi::received_shift | sent << spi::sent_shift;
}
constexpr unsigned int ctl_command = control(false, true, true, 0, 1);
constexpr unsigned int ctl_read_id = control(true, true, true, 3, 1);
constexpr unsigned int ctl_read_status = control(true, true, true, 1, 1);
constexpr unsigned int ctl_read_word = control(true, true, true, 4, 4);
constexpr unsigned int ctl_program_word = control(false, true, true, 0, 8);
constexpr unsigned int ctl_program_first = control(false, false, true, 0, 8);
constexpr unsigned int ctl_program_middle = control(false, false, false, 0, 8);
constexpr unsigned int ctl_program_last = control(false, true, false, 0, 4);
static_assert(ctl_command == 0x10E0 && ctl_read_id == 0x13F0 && ctl_read_status == 0x11F0 &&
                  ctl_read_word == 0x44F0 && ctl_program_word == 0x80E0 &&
                  ctl_program_first == 0x80A0 && ctl_program_middle == 0x8020 &&
                  ctl_program_last == 0x4060,
              "SPI control words");

constexpr unsigned char spi_wait_short = 1;  // after sending one byte
constexpr unsigned char spi_wait_long = 2;   // after sending four or eight

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

// A mailbox transfer carries 1 to 8 bytes.
bool count_fits(unsigned char num, const zeb_text<>& zero, const zeb_text<>& over)
{
    if (num == 0)
        zeb_say(zero);
    else if (num > 8)
        zeb_say(over);
    const bool fits = num >= 1 && num <= 8;
    if (!fits)
        note(zeb_event_kind::count_refused);
    return fits;
}

// A request that the driver refused, with its errno as the request left it.
void request_failed(zeb_request request, unsigned int address, int error)
{
    zeb_event e{};
    e.kind = zeb_event_kind::request_failed;
    e.request = request;
    e.address = address;
    e.error = error;
    zeb_detail::note(e);
}

}  // namespace

// ---- Requests

void zebecp3::setFrontend(int fd) { i_frontend = fd; }

void zebecp3::zeb_write(unsigned char addr, unsigned int value)
{
    reg_record r{};
    r.addr = addr;
    r.value = value;
    if (ioctl(i_frontend, REG_WRITE, &r) < 0)
        request_failed(zeb_request::reg_write, addr, errno);
}

unsigned int zebecp3::zeb_read(unsigned char addr)
{
    reg_record r{};
    r.addr = addr;
    if (ioctl(i_frontend, REG_READ, &r) < 0) {
        const int error = errno;
        zeb_say(program().read_error);
        request_failed(zeb_request::reg_read, addr, error);
    }
    return r.value;
}

void zebecp3::zeb_24cxx_wr(unsigned char offset, unsigned int value)
{
    window_record w{};
    w.base = mb::window_base;
    w.offset = offset;
    w.value = value;
    if (offset == mb::status)
        zeb_detail::note_command(value);
    if (ioctl(i_frontend, WINDOW_WRITE, &w) < 0)
        request_failed(zeb_request::window_write, offset, errno);
}

unsigned int zebecp3::zeb_24cxx_rd(unsigned char offset)
{
    window_record w{};
    w.base = mb::window_base;
    w.offset = offset;
    if (ioctl(i_frontend, WINDOW_READ, &w) < 0)
        request_failed(zeb_request::window_read, offset, errno);
    return w.value;
}

unsigned char zebecp3::read_mcu_status() { return zeb_24cxx_rd(mb::status) & mb::mcu_busy; }

// ---- Mailbox and parameter EEPROM

void zebecp3::check_mcuWorkOK()
{
    const int polls = program().mailbox_polls;
    unsigned int status = 0;
    bool taken = false;
    for (int i = 0; i < polls && !taken; ++i) {
        usleep(1000);
        status = zeb_24cxx_rd(mb::status);
        taken = !(status & mb::handshake);
    }
    if (!taken) {
        zeb_say(program().receiver_busy);
        note(zeb_event_kind::receiver_busy);
        if (read_mcu_status())
            zeb_say(program().mcu_busy);
        zeb_24cxx_wr(mb::ack, status);
        return;
    }
    zeb_24cxx_wr(mb::ack, status);
    for (int i = 0; i < polls; ++i) {
        usleep(1000);
        if (zeb_24cxx_rd(mb::status) & mb::handshake)
            return;
    }
    zeb_say(program().completion_timeout);
    note(zeb_event_kind::no_completion);
}

void zebecp3::mcu_software_reset()
{
    zeb_24cxx_wr(mb::status, mb::command_word(mb::op_mcu_reset, 0, 0, 0));
    check_mcuWorkOK();
}

void zebecp3::erase_mcu(unsigned int addr)
{
    zeb_24cxx_wr(mb::status, mb::command_word(mb::op_mcu_erase, 0, addr >> 8, addr));
    check_mcuWorkOK();
}

void zebecp3::write_mcu(unsigned int addr, unsigned char* buf)
{
    zeb_24cxx_wr(mb::data0, word_of(buf));
    zeb_24cxx_wr(mb::data1, word_of(buf + 4));
    zeb_24cxx_wr(mb::status, mb::command_word(mb::op_mcu_write, 8, addr >> 8, addr));
    check_mcuWorkOK();
}

void zebecp3::read_mcu(unsigned int addr, unsigned char* buf)
{
    zeb_24cxx_wr(mb::status, mb::command_word(mb::op_mcu_read, 8, addr >> 8, addr));
    check_mcuWorkOK();
    store_word(buf, zeb_24cxx_rd(mb::data0));
    store_word(buf + 4, zeb_24cxx_rd(mb::data1));
}

void zebecp3::read_24cxx(unsigned char addr, unsigned char num, unsigned char* buf)
{
    if (!count_fits(num, zeb_common.read_num_zero, zeb_common.read_num_over))
        return;
    zeb_24cxx_wr(mb::status, mb::command_word(mb::op_24cxx_read, num, 0, addr));
    check_mcuWorkOK();
    store_word(buf, zeb_24cxx_rd(mb::data0));
    if (num > 4)
        store_word(buf + 4, zeb_24cxx_rd(mb::data1));
}

void zebecp3::write_24cxx(unsigned char addr, unsigned char num, unsigned char* buf)
{
    if (!count_fits(num, program().write_num_zero, program().write_num_over))
        return;
    zeb_24cxx_wr(mb::data0, word_of(buf));
    if (num > 4)
        zeb_24cxx_wr(mb::data1, word_of(buf + 4));
    zeb_24cxx_wr(mb::status, mb::command_word(mb::op_24cxx_write, num, 0, addr));
    check_mcuWorkOK();
    if (zeb_24cxx_rd(mb::status) & mb::write_failed) {
        zeb_say(zeb_common.write_failed);
        note(zeb_event_kind::write_failed);
    }
}

// ---- Capture format

void zebecp3::CaptureSoftReset()
{
    zeb_write(reg::capture_reset, 1);
    usleep(15000);
    zeb_write(reg::capture_reset, 0);
}

void zebecp3::worksetreset()
{
    CaptureSoftReset();
    zeb_say(program().format_setting);
    for (int round = 0; round < zeb_wait::restart_rounds; ++round) {
        sleep(zeb_wait::restart_round_seconds);
        if (read_mcu_status() == 0) {
            zeb_say(program().format_set_ok);
            return;
        }
        zeb_detail::note_wait(zeb_event_kind::wait_round, zeb_wait_kind::capture_restart, round + 1);
    }
    zeb_detail::note_wait(zeb_event_kind::wait_ran_out, zeb_wait_kind::capture_restart, zeb_wait::restart_rounds);
}

void zebecp3::GetCaptureFormat(unsigned short* out)
{
    unsigned int size = zeb_read(reg::auto_format);
    unsigned int rate = zeb_read(reg::preset);
    unsigned short row = (size & 0xff) << 8 | (size >> 8 & 0xff);
    unsigned short column = (size >> 16 & 0xff) << 8 | (size >> 24 & 0xff);
    unsigned short freq = rate & 0xff;
    unsigned short scan = rate >> 8 & 1;
    if (program().round_vfreq) {
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
    zeb_say(zeb_common.input_format, int(row), int(column), int(freq), int(scan));
}

void zebecp3::SetCaptureFormat(unsigned char autoflag, unsigned char preset)
{
    if (autoflag == 1) {
        zeb_write(reg::auto_format, 1);
    } else {
        zeb_write(reg::auto_format, 0);
        zeb_write(reg::preset, preset);
        const zeb_program& p = program();
        zeb_say(preset >= 1 && preset <= 7 ? (*p.presets.value)[preset - 1] : p.preset_help);
    }
    worksetreset();
}

// ---- Encoder settings and read-back

void zebecp3::advanced_setting(advice_number a)
{
    int addrs[zeb_eeprom::encoder_entries];
    for (int i = 0; i < zeb_eeprom::encoder_entries; ++i)
        addrs[i] = int(zeb_encoder::entries[i].address);
    int values[zeb_eeprom::encoder_entries];
    zeb_encoder::encode(a, values);
    unsigned char count[4] = {0x00, zeb_eeprom::encoder_entries, 0, 0};
    write_24cxx(zeb_eeprom::entry_count, 2, count);
    write_M23Register(zeb_eeprom::encoder_entries, addrs, values);
    worksetreset();
}

void zebecp3::write_M23Register(int count, int* addrs, int* values)
{
    for (int i = 0; i < count; ++i) {
        unsigned char at = (unsigned char)zeb_eeprom::entry_address(i);
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
        read_24cxx((unsigned char)zeb_eeprom::entry_value(i), 2, buf);
        values[i] = buf[0] * 256 + buf[1];
    }
}

void zebecp3::getoutputformat(int* regs, unsigned char* mode)
{
    read_24cxx(zeb_eeprom::auto_flag, 1, mode);
    if (mode[0] == 1) {
        zeb_say(zeb_common.latest_auto);
        mode[0] = 1, mode[1] = 0, mode[2] = 0;
        return;
    }
    read_24cxx(zeb_eeprom::preset, 1, mode);
    unsigned char preset = mode[0];
    if (preset != 0) {
        const zeb_program& p = program();
        zeb_say(p.latest_manual);
        zeb_say(preset <= 7 ? (*p.latest_presets.value)[preset - 1] : p.latest_manual_other);
        mode[0] = 0, mode[1] = preset, mode[2] = 0;
        return;
    }
    read_24cxx(zeb_eeprom::entry_count, 2, mode);
    unsigned char entries = mode[1];
    if (entries == zeb_eeprom::encoder_entries) {
        read_M23Register(zeb_eeprom::encoder_entries, regs);
        const advice_number a = zeb_encoder::decode(regs);
        zeb_say(program().latest_advanced, a.H_Num, a.V_Num, a.frameNum);
    }
    mode[0] = 0, mode[1] = 0, mode[2] = entries;
}

void zebecp3::setMute(int mute)
{
    unsigned char buf[4] = {(unsigned char)mute, 0, 0, 0};
    write_24cxx(zeb_eeprom::mute, 1, buf);
    if (program().mute_restarts_capture)
        worksetreset();
}

void zebecp3::setprogname(unsigned char* name)
{
    size_t n = std::strlen(reinterpret_cast<const char*>(name));
    // The name area ends at the last EEPROM address: refuse rather than wrap
    // around onto the configuration or leave half a name.
    if (n > zeb_eeprom::name_max) {
        zeb_say(zeb_common.name_too_long, n, int(zeb_eeprom::name_max));
        note(zeb_event_kind::name_refused);
        return;
    }
    unsigned char buf[4] = {(unsigned char)zeb_eeprom::name, 0, 0, 0};
    write_24cxx(zeb_eeprom::name_start, 1, buf);
    buf[0] = (unsigned char)n;
    write_24cxx(zeb_eeprom::name_length, 1, buf);
    for (size_t i = 0; i < n; ++i) {
        buf[0] = name[i];
        write_24cxx((unsigned char)(zeb_eeprom::name + i), 1, buf);
    }
    worksetreset();
}

// ---- SPI flash

namespace {

// The words a transfer sends: one, or two for a program.
struct spi_words {
    unsigned int first;
    unsigned int second;
    bool two;
};
spi_words one_word(unsigned int first) { return {first, 0, false}; }
spi_words two_words(unsigned int first, unsigned int second) { return {first, second, true}; }

// The send registers, then the control word, whose upper half repeats the
// upper half of the first send word.
void spi_send(zebecp3& card, spi_words words, unsigned int ctl)
{
    card.zeb_write(reg::spi_send0, words.first);
    if (words.two)
        card.zeb_write(reg::spi_send1, words.second);
    card.zeb_write(reg::spi_control, ctl | (words.first & 0xffff0000u));
}

constexpr zeb_text<> silent = zeb_table::none;

// One controller transfer and the wait for its end, long when the control
// word sends more than one byte. A controller that stays busy gives false
// after the operation's own text.
bool spi_transfer(zebecp3& card, spi_words words, unsigned int ctl, const zeb_text<>& failed = silent)
{
    spi_send(card, words, ctl);
    const bool one_byte = (ctl >> 12 & 0xf) == 1;
    if (card.spi_CheckFree(one_byte ? spi_wait_short : spi_wait_long))
        return true;
    zeb_say(failed);
    return false;
}

// The status polls after a program, at most limit of them, each after pause
// microseconds. The first poll carries the upper bytes of the command's last
// control word, later ones those of the status read before. done: the
// controller answered every poll; all_used: no poll was left over.
struct status_polls {
    bool done;
    bool all_used;
    unsigned int status;
};
status_polls poll_status(zebecp3& card, unsigned int carried, int limit, useconds_t pause)
{
    unsigned int status = 0;
    int polls = 0;
    do {
        if (pause)
            usleep(pause);
        if (!spi_transfer(card, one_word((carried & 0xffffff00u) | spi::flash_read_status), ctl_read_status,
                          program().spi_poll_error))
            return {false, false, status};
        status = card.zeb_read(reg::spi_received);
        carried = status;
        ++polls;
    } while ((status & spi::flash_wip) && polls < limit);
    return {true, polls == limit, status};
}

}  // namespace

unsigned char zebecp3::spi_CheckFree(unsigned char kind)
{
    const int polls = kind == spi_wait_short ? 200 : kind == spi_wait_long ? 400 : 500;
    unsigned int state = 0;
    for (int i = 0; i < polls; ++i) {
        state = zeb_read(reg::spi_control);
        if ((state & 0xff) == 1)
            return 1;
    }
    zeb_say(program().spi_check_error, state & 0xff, state >> 8 & 0xff, state >> 16 & 0xff, state >> 24);
    note(zeb_event_kind::spi_busy);
    return 0;
}

void zebecp3::spi_WriteEnable()
{
    spi_transfer(*this, one_word(spi::flash_write_enable), ctl_command, program().spi_write_enable_error);
}

void zebecp3::spi_WriteDisable()
{
    spi_transfer(*this, one_word(spi::flash_write_disable), ctl_command, program().spi_write_disable_error);
}

unsigned char zebecp3::spi_GetFlashID(unsigned char* id)
{
    zeb_write(reg::spi_received, 1);
    if (!spi_transfer(*this, one_word(spi::flash_release_power_down), ctl_command, program().spi_release_error) ||
        !spi_transfer(*this, one_word(0x10u << 8 | spi::flash_read_id), ctl_read_id, zeb_common.spi_read_id_error))
        return 0;
    unsigned int received = zeb_read(reg::spi_received);
    id[0] = received & 0xff;
    id[1] = received >> 8 & 0xff;
    id[2] = received >> 16 & 0xff;
    unsigned int version = zeb_read(reg::spi_version);
    for (int i = 0; i < 4; ++i) {
        id[3 + i] = version >> (8 * i) & 0xff;
        zeb_say(zeb_common.spi_version, unsigned(id[3 + i]));
    }
    return (id[0] == 0xC2 && id[1] == 0x20 && id[2] == 0x16) ||
           (id[0] == 0xEF && id[1] == 0x40 && id[2] == 0x16);
}

unsigned char zebecp3::spi_ChipErase()
{
    spi_WriteEnable();
    spi_send(*this, one_word(spi::flash_chip_erase), ctl_command);
    usleep(1000);
    return 1;
}

unsigned char zebecp3::spi_ChipEraseStatus()
{
    spi_send(*this, one_word(spi::flash_read_status), ctl_read_status);
    usleep(2000);
    unsigned int status = zeb_read(reg::spi_received);
    zeb_say(zeb_common.spi_status, status & 0xff);
    return !(status & spi::flash_wip);
}

unsigned char zebecp3::spi_read32bit(unsigned char* addr, unsigned int* word)
{
    if (!spi_transfer(*this, one_word(with_address(spi::flash_read, addr)), ctl_read_word, program().spi_read_error))
        return 0;
    *word = zeb_read(reg::spi_received);
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
        if (!spi_transfer(*this, one_word(with_address(spi::flash_read, addr)), ctl_read_word, program().spi_read_error))
            return 0;
        unsigned int word = zeb_read(reg::spi_received);
        store_word(buf + 4 * k, word);
        zeb_say(program().spi_read1page_word, at, word);
        usleep(1000);
    }
    return 1;
}

unsigned char zebecp3::spi_Write32bit(unsigned char* addr, unsigned int* word)
{
    const unsigned int send0 = with_address(spi::flash_page_program, addr);
    if (!spi_transfer(*this, two_words(send0, *word), ctl_program_word, program().spi_write_error))
        return 0;
    const status_polls s = poll_status(*this, ctl_program_word | (send0 & 0xffff0000u), 50, 1000);
    if (!s.done)
        return 0;
    if (s.all_used)
        zeb_say(program().spi_write32_busy, s.status & 0xff);
    return 1;
}

unsigned char zebecp3::spi_Write1page(unsigned char* addr, unsigned char* page)
{
    spi_WriteEnable();
    unsigned int send0 = with_address(spi::flash_page_program, addr);
    unsigned int ctl = ctl_program_first;
    bool free = spi_transfer(*this, two_words(send0, word_of(page)), ctl);
    for (int k = 0; free && k < 31; ++k) {
        send0 = word_of(page + 8 * k + 4);
        ctl = ctl_program_middle;
        free = spi_transfer(*this, two_words(send0, word_of(page + 8 * k + 8)), ctl);
    }
    if (free) {
        send0 = word_of(page + 252);
        ctl = ctl_program_last;
        free = spi_transfer(*this, one_word(send0), ctl);
    }
    if (!free) {
        zeb_say(program().spi_write_error);
        return 0;
    }
    const status_polls s = poll_status(*this, ctl | (send0 & 0xffff0000u), 250, 0);
    if (!s.done)
        return 0;
    if (!s.all_used)
        return 1;
    zeb_say(program().spi_write1page_busy, s.status & 0xff);
    return 0;
}

void zebecp3::spi_EnterDeepPowerDown()
{
    if (spi_transfer(*this, one_word(spi::flash_deep_power_down), ctl_command, program().spi_deep_power_down_error))
        zeb_write(reg::spi_received, 0x1000);
}
