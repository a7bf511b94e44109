// SPDX-License-Identifier: GPL-2.0-or-later
#include "show.h"

#include <cstdarg>
#include <cstdio>

namespace cardsim {

namespace {

std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* format, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return buf;
}

const char* preset_name(unsigned p)
{
    static const char* const names[] = {"super 1920*1080", "ultra 1440*1080", "excellent 1280*720",
                                        "good 1120*720",   "fair 960*540",    "poor 800*480",
                                        "mobile 480*272"};
    return p >= 1 && p <= 7 ? names[p - 1] : nullptr;
}

std::string describe_entry(unsigned i, unsigned value)
{
    namespace en = zeb_encoder;
    switch (i) {
    case en::profile_level: {
        const char* profile = en::profile_code(value) == en::code_main   ? "Main"
                              : en::profile_code(value) == en::code_high ? "High"
                                                                         : nullptr;
        if (!profile)
            return fmt("%u (not a profile and level the programs store)", value);
        unsigned level = en::level(value);
        return fmt("%u: %s profile, level %u.%u", value, profile, level / 10, level % 10);
    }
    case en::width:
    case en::height:
        return fmt("%u pixels", value);
    case en::bitrate:
        return fmt("%u kbit/s", value);
    case en::frame_rate_x2:
        return fmt("%u: %u frames per second", value, unsigned(en::frame_rate(int(value))));
    default:
        return fmt("%u", value);
    }
}

std::string quoted(const unsigned char* bytes, unsigned n)
{
    std::string s = "\"";
    for (unsigned i = 0; i < n; ++i) {
        unsigned char c = bytes[i];
        if (c == '"' || c == '\\')
            s += fmt("\\%c", c);
        else if (c >= 0x20 && c < 0x7f)
            s += char(c);
        else
            s += fmt("\\x%02x", c);
    }
    return s + "\"";
}

// The output format the programs stored: automatic, a preset, or the advanced entries.
std::string describe_output_format(const unsigned char* e)
{
    using namespace zeb_eeprom;
    unsigned count = unsigned(e[entry_count]) << 8 | e[entry_count + 1];
    bool advanced = e[entry_count + 1] == encoder_entries;
    unsigned automatic = e[auto_flag], stored_preset = e[zeb_eeprom::preset];
    std::string mode;
    if (automatic == 1)
        mode = "automatic: the output follows the input";
    else if (stored_preset != 0)
        mode = preset_name(stored_preset) ? fmt("manual, preset %u %s", stored_preset, preset_name(stored_preset))
                                          : fmt("manual, preset %u (not a preset: 1 to 7)", stored_preset);
    else if (advanced)
        mode = "advanced (the entries below)";
    else
        mode = "none stored";
    std::string out = fmt("Output format     %s\n", mode.c_str());
    out += fmt("                  (address %u automatic = %u, %u preset = %u, %u-%u entries = %u)\n", auto_flag,
               automatic, zeb_eeprom::preset, stored_preset, entry_count, entry_count + 1, count);
    if (!advanced)
        return out + "Advanced entries  none stored\n";
    out += fmt("Advanced entries  %u stored%s\n", count, automatic == 1 || stored_preset != 0 ? ", not in use" : "");
    for (int i = 0; i < encoder_entries; ++i) {
        const unsigned char* p = e + entry_address(i);
        const unsigned char* v = e + entry_value(i);
        unsigned reg = unsigned(p[0]) << 8 | p[1], value = unsigned(v[0]) << 8 | v[1];
        const zeb_encoder::entry_description& d = zeb_encoder::entries[i];
        const char* meaning = reg == d.address ? d.meaning : "(unexpected register)";
        out += fmt("  %2u  0x%04x %-18s %s\n", unsigned(i), reg, meaning, describe_entry(unsigned(i), value).c_str());
    }
    return out;
}

std::string describe_registers(const saved_registers& regs)
{
    auto reg_line = [&](uint8_t addr, auto meaning) {
        auto saved = regs.find(addr);
        if (saved == regs.end())
            return fmt("Register 0x%02X     never written\n", unsigned(addr));
        return fmt("Register 0x%02X     last written 0x%08x: %s\n", unsigned(addr), saved->second,
                   meaning(saved->second).c_str());
    };
    return reg_line(zeb_reg::auto_format,
                    [](uint32_t v) {
                        return std::string(v == 1   ? "output format follows the input"
                                           : v == 0 ? "output format is the preset in 0x4C"
                                                    : "no meaning (1 automatic, 0 preset)");
                    }) +
           reg_line(zeb_reg::preset, [](uint32_t v) {
               return preset_name(v) ? fmt("preset %u %s", v, preset_name(v)) : std::string("not a preset (1 to 7)");
           });
}

std::string describe_flash(const unsigned char* flash)
{
    if (!flash)
        return "Flash             blank (never used)\n";
    uint32_t programmed = 0, first = 0;
    for (uint32_t a = 0; a < flash_size; ++a) {
        if (flash[a] != 0xff) {
            if (programmed++ == 0)
                first = a;
        }
    }
    if (programmed == 0)
        return "Flash             blank (all bytes 0xff)\n";
    return fmt("Flash             %u bytes programmed, the first at 0x%06x\n", programmed, first);
}

std::string describe_unknown(const std::vector<std::string>& unknown)
{
    if (unknown.empty())
        return "Unknown accesses  none\n";
    std::string out;
    for (size_t i = 0; i < unknown.size(); ++i)
        out += fmt("%s%s\n", i ? "                  " : "Unknown accesses  ", unknown[i].c_str());
    return out;
}

std::string eeprom_dump(const unsigned char* e)
{
    std::string out = "\nEEPROM\n";
    for (unsigned row = 0; row < zeb_eeprom::size; row += 16) {
        out += fmt("  %3u:", row);
        for (unsigned i = 0; i < 16; ++i)
            out += fmt(" %02x", e[row + i]);
        out += "\n";
    }
    return out;
}

}  // namespace

std::string describe_state(const std::string& dir, const unsigned char* e, bool new_card,
                           const saved_registers& regs, const unsigned char* flash,
                           const std::vector<std::string>& unknown, const sim_config& config)
{
    using namespace zeb_eeprom;
    std::string out = "Card state in " + dir + "\n";
    if (new_card)
        out += "(no card there yet: this is the new card that its first use makes)\n";
    out += "\n";
    out += describe_output_format(e);
    out += fmt("Mute              %s (address %u = %u)\n", e[mute] == 0 ? "off" : e[mute] == 1 ? "on" : "unknown",
               mute, e[mute]);
    unsigned start = e[name_start], length = e[name_length];
    unsigned shown = start + length > size ? unsigned(size) - start : length;
    out += fmt("Program name      %s (%u bytes at %u)\n", quoted(e + start, shown).c_str(), length, start);
    out += fmt("MAC address       %s\n", format_mac(e + zeb_eeprom::mac).c_str());
    out += describe_registers(regs);
    out += describe_flash(flash);
    out += fmt("Flash id          %s (from --flash-id; not stored)\n", format_flash_id(config.flash_id).c_str());
    out += describe_unknown(unknown);
    return out + eeprom_dump(e);
}

}  // namespace cardsim
