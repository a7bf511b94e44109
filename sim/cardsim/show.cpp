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

struct EntryInfo {
    unsigned reg;
    const char* meaning;
};

// The encoder register entries that the advanced mode stores, in order.
const EntryInfo kEntries[11] = {
    {0x1526, "profile and level"}, {0x152c, "width"},       {0x152e, "height"},
    {0x1532, "bit rate x 2.5"},    {0x1534, "bit rate x 2"}, {0x1536, "bit rate"},
    {0x1538, "bit rate x 0.5"},    {0x1104, "bit rate x 3.5"}, {0x1584, "(always 0)"},
    {0x1586, "frame rate x 2"},    {0x1588, "(always 1)"},
};

std::string entry_value(unsigned i, unsigned value)
{
    switch (i) {
    case 0: {
        unsigned level = value & 0xff;
        const char* profile = (value >> 8) == 2 ? "Main" : (value >> 8) == 1 ? "High" : nullptr;
        if (!profile)
            return fmt("%u (not a profile and level the programs store)", value);
        return fmt("%u: %s profile, level %u.%u", value, profile, level / 10, level % 10);
    }
    case 1:
    case 2:
        return fmt("%u pixels", value);
    case 5:
        return fmt("%u kbit/s", value);
    case 9:
        return fmt("%u: %u frames per second", value, value / 2);
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

}  // namespace

std::string describe_state(const std::string& dir, const unsigned char* e, bool new_card,
                           const SavedRegisters& regs, const unsigned char* flash,
                           const std::vector<std::string>& unknown, const Config& config)
{
    std::string out = "Card state in " + dir + "\n";
    if (new_card)
        out += "(no card there yet: this is the new card that its first use makes)\n";
    out += "\n";

    unsigned count = unsigned(e[16]) << 8 | e[17];
    bool advanced = e[17] == 11;
    std::string mode;
    if (e[20] == 1)
        mode = "automatic: the output follows the input";
    else if (e[21] != 0)
        mode = preset_name(e[21]) ? fmt("manual, preset %u %s", e[21], preset_name(e[21]))
                                  : fmt("manual, preset %u (not a preset: 1 to 7)", e[21]);
    else if (advanced)
        mode = "advanced (the entries below)";
    else
        mode = "none stored";
    out += fmt("Output format     %s\n", mode.c_str());
    out += fmt("                  (address 20 automatic = %u, 21 preset = %u, 16-17 entries = %u)\n", e[20],
               e[21], count);

    if (advanced) {
        out += fmt("Advanced entries  %u stored%s\n", count,
                   e[20] == 1 || e[21] != 0 ? ", not in use" : "");
        for (unsigned i = 0; i < 11; ++i) {
            const unsigned char* p = e + 32 + 4 * i;
            unsigned reg = unsigned(p[0]) << 8 | p[1], value = unsigned(p[2]) << 8 | p[3];
            const char* meaning = reg == kEntries[i].reg ? kEntries[i].meaning : "(unexpected register)";
            out += fmt("  %2u  0x%04x %-18s %s\n", i, reg, meaning, entry_value(i, value).c_str());
        }
    } else {
        out += "Advanced entries  none stored\n";
    }

    out += fmt("Mute              %s (address 22 = %u)\n", e[22] == 0 ? "off" : e[22] == 1 ? "on" : "unknown",
               e[22]);
    unsigned start = e[18], length = e[19];
    unsigned shown = start + length > 256 ? 256 - start : length;
    out += fmt("Program name      %s (%u bytes at %u)\n", quoted(e + start, shown).c_str(), length, start);
    out += fmt("MAC address       %s\n", format_mac(e + 8).c_str());

    auto reg_line = [&](const char* name, bool has, uint32_t value, std::string meaning) {
        if (!has)
            return fmt("Register %s     never written\n", name);
        return fmt("Register %s     last written 0x%08x: %s\n", name, value, meaning.c_str());
    };
    out += reg_line("0x48", regs.has48, regs.r48,
                    regs.r48 == 1   ? "output format follows the input"
                    : regs.r48 == 0 ? "output format is the preset in 0x4C"
                                    : "no meaning (1 automatic, 0 preset)");
    out += reg_line("0x4C", regs.has4c, regs.r4c,
                    preset_name(regs.r4c) ? fmt("preset %u %s", regs.r4c, preset_name(regs.r4c))
                                          : std::string("not a preset (1 to 7)"));

    if (!flash) {
        out += "Flash             blank (never used)\n";
    } else {
        uint32_t programmed = 0, first = 0;
        for (uint32_t a = 0; a < kFlashSize; ++a) {
            if (flash[a] != 0xff) {
                if (programmed++ == 0)
                    first = a;
            }
        }
        if (programmed == 0)
            out += "Flash             blank (all bytes 0xff)\n";
        else
            out += fmt("Flash             %u bytes programmed, the first at 0x%06x\n", programmed, first);
    }
    out += fmt("Flash id          %s (from --flash-id; not stored)\n", format_flash_id(config.flash_id).c_str());

    if (unknown.empty()) {
        out += "Unknown accesses  none\n";
    } else {
        for (size_t i = 0; i < unknown.size(); ++i)
            out += fmt("%s%s\n", i ? "                  " : "Unknown accesses  ", unknown[i].c_str());
    }

    out += "\nEEPROM\n";
    for (unsigned row = 0; row < 256; row += 16) {
        out += fmt("  %3u:", row);
        for (unsigned i = 0; i < 16; ++i)
            out += fmt(" %02x", e[row + i]);
        out += "\n";
    }
    return out;
}

}  // namespace cardsim
