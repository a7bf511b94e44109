// SPDX-License-Identifier: GPL-2.0-or-later
// One card node for ravelinctl: opened once, each operation of the card
// access library run as a named step whose failures end the run, and every
// change compared with the card before and read back after.
#include "ravelinctl.h"

#include "card_ops.h"
#include "zeb_card.h"
#include "zeb_status.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace ctl {

namespace {

std::string hex(unsigned int value, int digits)
{
    char t[16];
    std::snprintf(t, sizeof t, "0x%0*x", digits, value);
    return t;
}

const char* request_name(zeb_request r)
{
    switch (r) {
    case zeb_request::reg_read: return "register read";
    case zeb_request::reg_write: return "register write";
    case zeb_request::window_read: return "mailbox read";
    case zeb_request::window_write: return "mailbox write";
    }
    return "request";
}

const char* wait_name(zeb_wait_kind w)
{
    switch (w) {
    case zeb_wait_kind::capture_restart: return "the capture restart";
    case zeb_wait_kind::software_reset: return "the capture reset";
    case zeb_wait_kind::mcu_reset: return "the microcontroller reset";
    }
    return "the wait";
}

// The mailbox command as its EEPROM address, or its opcode.
std::string command_text(unsigned int command)
{
    const unsigned int op = command & 0xff, count = command >> 8 & 0xff, addr = command >> 24;
    if (op == zeb_mailbox::op_24cxx_read || op == zeb_mailbox::op_24cxx_write)
        return std::string(op == zeb_mailbox::op_24cxx_read ? "EEPROM read" : "EEPROM write") + " of " +
               std::to_string(count) + (count == 1 ? " byte" : " bytes") + " at " + std::to_string(addr);
    if (op == zeb_mailbox::op_mcu_reset)
        return "microcontroller reset";
    return "mailbox command " + hex(command, 8);
}

std::string describe(const zeb_event& e)
{
    switch (e.kind) {
    case zeb_event_kind::request_failed:
        return std::string(request_name(e.request)) + " at " + hex(e.address, 2) +
               " failed: " + std::strerror(e.error);
    case zeb_event_kind::receiver_busy:
        return "the card never took the " + command_text(e.command) + " (mailbox wait for the receiver ran out)";
    case zeb_event_kind::no_completion:
        return "the card never completed the " + command_text(e.command) + " (mailbox wait for completion ran out)";
    case zeb_event_kind::write_failed:
        return "the card reported a failed " + command_text(e.command);
    case zeb_event_kind::count_refused:
        return "a mailbox transfer of an impossible size was refused";
    case zeb_event_kind::name_refused:
        return "the program name does not fit the name area";
    case zeb_event_kind::wait_round:
    case zeb_event_kind::wait_ran_out:
        return std::string("the card was still busy after ") + wait_name(e.wait) + ": gave up after " +
               std::to_string(e.rounds) + " rounds of " + std::to_string(zeb_wait::restart_round_seconds) + " s";
    case zeb_event_kind::spi_busy:
        return "the SPI flash controller stayed busy";
    }
    return "unknown failure";
}

// Elapsed of the limit, on one line of standard error that each round rewrites.
void show_progress(const zeb_event& e, void* context)
{
    auto* p = static_cast<progress_line*>(context);
    if (e.kind != zeb_event_kind::wait_round || !p->enabled)
        return;
    const unsigned int s = zeb_wait::restart_round_seconds;
    std::fprintf(stderr, "\rwaiting for the card after %s: %u s of %u s ", wait_name(e.wait), e.round * s,
                 e.rounds * s);
    std::fflush(stderr);
    p->shown = true;
}

void end_progress(progress_line& p)
{
    if (p.shown)
        std::fputc('\n', stderr);
    p.shown = false;
}

std::string range_text(unsigned int addr, unsigned int count)
{
    return count == 1 ? std::to_string(addr) : std::to_string(addr) + "-" + std::to_string(addr + count - 1);
}

// The EEPROM bytes that a setting is stored as: address, then the bytes.
struct stored_bytes {
    unsigned int addr;
    std::vector<unsigned char> bytes;
};

advice_number advice_of(const advanced_settings& a)
{
    return advice_number{a.main_profile ? zeb_encoder::profile_main : zeb_encoder::profile_high,
                         a.level, a.width, a.height, a.bitrate, a.frame_rate};
}

// The eleven entries for these settings as stored: address, then value.
std::vector<unsigned char> entry_bytes(const advanced_settings& a)
{
    int values[zeb_eeprom::encoder_entries];
    zeb_encoder::encode(advice_of(a), values);
    std::vector<unsigned char> entries;
    for (int i = 0; i < zeb_eeprom::encoder_entries; ++i) {
        const unsigned int addr = zeb_encoder::entries[i].address;
        entries.insert(entries.end(), {(unsigned char)(addr >> 8), (unsigned char)addr,
                                       (unsigned char)(values[i] >> 8), (unsigned char)values[i]});
    }
    return entries;
}

std::vector<stored_bytes> bytes_of_output(const output_config& o)
{
    namespace e = zeb_eeprom;
    if (o.mode == output_mode::automatic)
        return {{e::auto_flag, {1, 0}}};
    if (o.mode == output_mode::preset)
        return {{e::auto_flag, {0, (unsigned char)o.preset}}};
    return {{e::entry_count, {0, (unsigned char)e::encoder_entries}},
            {e::auto_flag, {0, 0}},
            {e::entries, entry_bytes(o.advanced)}};
}

std::vector<stored_bytes> bytes_of_name(const std::string& name)
{
    namespace e = zeb_eeprom;
    std::vector<stored_bytes> b = {{e::name_start, {(unsigned char)e::name, (unsigned char)name.size()}}};
    if (!name.empty())
        b.push_back({e::name, std::vector<unsigned char>(name.begin(), name.end())});
    return b;
}

}  // namespace

card_session::card_session(const request& r) : card_session(r, node_of(r)) {}

bool shows_progress(const request& r) { return isatty(2) && !r.quiet && !r.json; }

card_session::card_session(const request& r, std::pair<int, int> node)
    : card_session(node.first, node.second, shows_progress(r))
{
    wait_seconds_ = r.wait_seconds;
}

card_session::card_session(int adapter, int frontend, bool progress) : adapter_(adapter), frontend_(frontend)
{
    progress_.enabled = progress;
    char path[64];
    zeb_node_path(path, sizeof path, adapter, frontend);
    path_ = path;
    zeb_observe(show_progress, &progress_);
}

card_session::~card_session()
{
    zeb_observe(nullptr, nullptr);
    if (fd_ >= 0)
        close(fd_);
}

node_problem open_problem(const std::string& path, int error)
{
    node_problem p;
    p.status = exit_node;
    p.error = std::strerror(error);
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        p.fix = "check the adapter and frontend numbers (ravelinctl list) and that the card's driver is loaded";
        break;
    case EACCES:
    case EPERM:
        p.fix = "add the user to the group that owns the node (usually video: sudo adduser \"$USER\" video) "
                "and log in again";
        break;
    case EBUSY:
        p.fix = busy_fix(path);
        break;
    default:
        p.fix = "";
    }
    return p;
}

void card_session::open_and_identify()
{
    step("opening " + path_);
    fd_ = open_waiting(path_, O_RDWR | O_NONBLOCK | O_CLOEXEC, wait_seconds_, progress_);
    if (fd_ < 0) {
        const int error = errno;
        const node_problem p = open_problem(path_, error);
        const std::string waited =
            error == EBUSY && wait_seconds_ > 0 ? " after " + std::to_string(wait_seconds_) + " s of waiting" : "";
        throw failure(p.status, step_, p.error + waited + (p.fix.empty() ? "" : "; " + p.fix));
    }
    card.setFrontend(fd_);
    // This card's driver serves the card's private requests; a file or another
    // driver's node refuses them. What the register holds is the card's own.
    step("identifying the card on " + path_);
    card.zeb_read(zeb_reg::spi_version);
    const zeb_status s = zeb_take_status();
    if (!s.ok() && refuses_card_requests(s.first.error))
        throw failure(exit_node, step_,
                      path_ + " is not this capture card (it refuses the card's register read: " +
                          std::strerror(s.first.error) + ")");
    if (!s.ok())
        throw failure(exit_card, step_, describe(s.first));
}

bool refuses_card_requests(int error) { return error == ENOTTY || error == EINVAL; }

void card_session::step(const std::string& name)
{
    step_ = name;
    zeb_take_status();
}

void card_session::check()
{
    const zeb_status s = zeb_take_status();
    end_progress(progress_);
    if (!s.ok())
        throw failure(exit_card, step_, describe(s.first));
}

std::vector<unsigned char> card_session::read_eeprom(unsigned int addr, unsigned int count)
{
    std::vector<unsigned char> bytes;
    while (count > 0) {
        const unsigned int n = std::min(count, 8u);
        unsigned char buf[8] = {};
        step("reading EEPROM " + range_text(addr, n));
        card.read_24cxx((unsigned char)addr, (unsigned char)n, buf);
        check();
        bytes.insert(bytes.end(), buf, buf + n);
        addr += n;
        count -= n;
    }
    return bytes;
}

namespace {

// The settings from the eleven stored entries (44 bytes: address, value).
output_config decode_advanced(const std::vector<unsigned char>& b)
{
    namespace e = zeb_eeprom;
    int values[e::encoder_entries];
    for (int i = 0; i < e::encoder_entries; ++i) {
        const unsigned int at = e::entry_value(i) - e::entries;
        values[i] = b[at] << 8 | b[at + 1];
    }
    const advice_number s = zeb_encoder::decode(values);
    output_config o;
    o.mode = output_mode::advanced;
    advanced_settings& a = o.advanced;
    a.main_profile = s.profileNum == zeb_encoder::profile_main;
    a.level = s.levelNum;
    a.width = s.H_Num;
    a.height = s.V_Num;
    a.bitrate = s.bitrateNum;
    a.frame_rate = s.frameNum;
    o.consistent = entry_bytes(a) == b && zeb_encoder::known_profile(unsigned(values[zeb_encoder::profile_level]));
    return o;
}

}  // namespace

card_status card_session::read_config(bool output, bool mute, bool name)
{
    namespace e = zeb_eeprom;
    card_status s;
    // 16 to 22 in one transfer: entry count, name start and length, mode, preset, mute.
    const std::vector<unsigned char> head = read_eeprom(e::entry_count, e::mute - e::entry_count + 1);
    auto at = [&](unsigned int addr) { return head[addr - e::entry_count]; };
    s.mute = at(e::mute) != 0;
    if (output) {
        const unsigned char flag = at(e::auto_flag), preset = at(e::preset);
        // The order in which the programs read it back: automatic, preset, entries.
        if (flag == 1) {
            s.output.mode = output_mode::automatic;
        } else if (preset != 0) {
            if (preset <= preset_names().size()) {
                s.output.mode = output_mode::preset;
                s.output.preset = preset;
            } else {
                s.output.invalid_preset = preset;
            }
        } else if (at(e::entry_count + 1) == e::encoder_entries) {
            s.output = decode_advanced(read_eeprom(e::entries, 4 * e::encoder_entries));
        }
    }
    (void)mute;
    if (name) {
        const unsigned int length = std::min<unsigned int>(at(e::name_length), e::name_max);
        const std::vector<unsigned char> bytes = read_eeprom(e::name, length);
        s.program_name.assign(bytes.begin(), bytes.end());
    }
    return s;
}

card_status card_session::read_status()
{
    step("reading the input format");
    unsigned short format[4] = {};
    card.GetCaptureFormat(format);
    check();
    const std::vector<unsigned char> mac = read_eeprom(zeb_eeprom::mac, zeb_eeprom::mac_length);
    card_status s = read_config(true, true, true);
    s.input = {format[0], format[1], format[2], format[3] != 0};
    std::copy(mac.begin(), mac.end(), s.mac.begin());
    return s;
}

namespace {

namespace e = zeb_eeprom;

// EEPROM from the entry count to the mute flag: the mode, preset and mute
// bytes and the name length, read in one transfer.
bool in_head(unsigned int addr) { return addr >= e::entry_count && addr <= e::mute; }

// Whether the card stores every part: a part that starts in `head` is
// compared there, any other is read on its own, once all of head matched.
bool stores(card_session& session, const std::vector<stored_bytes>& parts, const std::vector<unsigned char>& head)
{
    for (const auto& p : parts)
        for (std::size_t i = 0; i < p.bytes.size() && in_head(p.addr + unsigned(i)); ++i)
            if (head[p.addr + i - e::entry_count] != p.bytes[i])
                return false;
    for (const auto& p : parts)
        if (!in_head(p.addr) && session.read_eeprom(p.addr, unsigned(p.bytes.size())) != p.bytes)
            return false;
    return true;
}

// Reads each written part back: a byte that differs fails the run.
void verify(card_session& session, const std::vector<stored_bytes>& parts, const std::string& what)
{
    for (const auto& p : parts) {
        const std::vector<unsigned char> back = session.read_eeprom(p.addr, unsigned(p.bytes.size()));
        for (std::size_t i = 0; i < p.bytes.size(); ++i)
            if (back[i] != p.bytes[i])
                throw failure(exit_card, "reading back the " + what,
                              "EEPROM " + std::to_string(p.addr + i) + " holds " + hex(back[i], 2) + ", " +
                                  hex(p.bytes[i], 2) + " was written");
    }
}

// The same card operations as ravelins and the window for each mode.
void write_output(card_session& session, const output_config& o)
{
    if (o.mode == output_mode::automatic) {
        session.step("setting the output format to auto");
        output_auto(session.card);
    } else if (o.mode == output_mode::preset) {
        session.step("setting the output format to preset " + std::to_string(o.preset));
        output_manual(session.card, o.preset);
    } else {
        const advanced_settings& a = o.advanced;
        session.step("setting the advanced output format");
        output_advanced(session.card, advice_of(a));
    }
    session.check();
}

// apply's comparison of each wanted setting with what the card stores, the
// bytes of the head read once, before anything is written.
class comparison {
public:
    comparison(card_session& session, const wanted_config& want) : session_(session), want_(want)
    {
        if (want.output)
            output_bytes = bytes_of_output(*want.output);
        if (want.program_name)
            name_bytes = bytes_of_name(*want.program_name);
        head_ = session.read_eeprom(e::entry_count, e::mute - e::entry_count + 1);
    }
    unsigned char mute_byte() const { return *want_.mute ? 1 : 0; }
    bool output_differs() const { return !stores(session_, output_bytes, head_); }
    bool mute_differs() const { return head_[e::mute - e::entry_count] != mute_byte(); }
    bool name_differs() const { return !stores(session_, name_bytes, head_); }

    std::vector<stored_bytes> output_bytes, name_bytes;

private:
    card_session& session_;
    const wanted_config& want_;
    std::vector<unsigned char> head_;
};

}  // namespace

std::vector<std::string> card_session::differences(const wanted_config& want)
{
    const comparison c(*this, want);
    std::vector<std::string> names;
    if (want.output && c.output_differs())
        names.push_back("output");
    if (want.mute && c.mute_differs())
        names.push_back("mute");
    if (want.program_name && c.name_differs())
        names.push_back("program_name");
    return names;
}

std::vector<std::string> card_session::apply(const wanted_config& want, bool force)
{
    const comparison c(*this, want);
    std::vector<std::string> written;
    try {
        if (want.output && (force || c.output_differs())) {
            written.push_back("output");
            write_output(*this, *want.output);
            verify(*this, c.output_bytes, "output format");
        }
        if (want.mute && (force || c.mute_differs())) {
            const unsigned char m = c.mute_byte();
            written.push_back("mute");
            step(std::string("storing mute ") + (m ? "on" : "off"));
            card.setMute(m);
            check();
            verify(*this, {{e::mute, {m}}}, "mute flag");
        }
        if (want.program_name && (force || c.name_differs())) {
            written.push_back("program_name");
            step("storing the program name");
            std::string text = *want.program_name;
            card.setprogname(reinterpret_cast<unsigned char*>(text.data()));
            check();
            verify(*this, c.name_bytes, "program name");
        }
    } catch (failure& f) {
        f.written = written;
        throw;
    }
    return written;
}

int card_session::reset(bool mcu)
{
    step(mcu ? "resetting the microcontroller" : "restarting the capture logic");
    const int rounds = mcu ? mcu_reset(card) : software_reset(card);
    check();
    return rounds;
}

}  // namespace ctl
