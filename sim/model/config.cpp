// SPDX-License-Identifier: GPL-2.0-or-later
#include "config.h"

#include "rack.h"
#include "state.h"
#include "text.h"

#include <algorithm>
#include <random>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cardsim {

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "XX:XX:..." with exactly `count` (at most 8) two-digit hex bytes; `out` is
// left as it was when the text is refused.
bool parse_hex_bytes(const std::string& text, unsigned count, unsigned char* out)
{
    unsigned char bytes[8];
    if (count > sizeof bytes || text.size() != count * 3 - 1)
        return false;
    for (unsigned i = 0; i < count; ++i) {
        int hi = hex_digit(text[i * 3]), lo = hex_digit(text[i * 3 + 1]);
        if (hi < 0 || lo < 0 || (i + 1 < count && text[i * 3 + 2] != ':'))
            return false;
        bytes[i] = (unsigned char)(hi * 16 + lo);
    }
    memcpy(out, bytes, count);
    return true;
}

std::string hex_bytes(const unsigned char* bytes, unsigned count)
{
    std::string s;
    char buf[4];
    for (unsigned i = 0; i < count; ++i) {
        snprintf(buf, sizeof buf, i ? ":%02x" : "%02x", bytes[i]);
        s += buf;
    }
    return s;
}

}  // namespace

void sim_config::draw_open_values()
{
    if (!seeded)
        return;
    // Drawn in a fixed order whatever was given, so that a value stays the
    // same for a seed when another one is set.
    std::mt19937_64 draw(seed);
    const uint64_t version = draw(), mac_bits = draw(), flash_bits = draw();
    if (!version_given)
        version_word = uint32_t(version);
    for (int i = 0; i < 6 && !mac_given; ++i)
        mac[i] = (unsigned char)(mac_bits >> (8 * i));
    for (int i = 0; i < 3 && !flash_id_given; ++i)
        flash_id[i] = (unsigned char)(flash_bits >> (8 * i));
    std::vector<unsigned char> bytes(eeprom_size);
    for (unsigned i = 0; i < eeprom_size; i += 8) {
        const uint64_t word = draw();
        for (unsigned k = 0; k < 8; ++k)
            bytes[i + k] = (unsigned char)(word >> (8 * k));
    }
    if (!factory_fill_given)
        factory_bytes = bytes;
}

void sim_config::new_eeprom(unsigned char out[eeprom_size]) const
{
    if (factory_bytes.size() == eeprom_size) {
        memcpy(out, factory_bytes.data(), eeprom_size);
        memcpy(out + zeb_eeprom::mac, mac, zeb_eeprom::mac_length);
    } else {
        factory_eeprom(mac, out);
    }
}

uint64_t sim_config::restart_busy_ns() const
{
    if (!faults.busy_set)
        return busy_ns;
    if (faults.busy_rounds == forever)
        return forever;
    return (2 * faults.busy_rounds + 1) * ns_per_second;
}

bool sim_config::lists(unsigned adapter, unsigned frontend) const
{
    for (const auto& n : nodes)
        if (n.first == adapter && n.second == frontend)
            return true;
    return false;
}

std::string parse_node(const std::string& text, std::pair<unsigned, unsigned>& out)
{
    auto parts = split(text, ':');
    uint64_t a, f;
    if (parts.size() != 2 || !parse_decimal(parts[0], 999, a) || !parse_decimal(parts[1], 999, f))
        return "'" + text + "' is not a node A:F (adapter and frontend numbers, 0 to 999)";
    out = {unsigned(a), unsigned(f)};
    return "";
}

std::string parse_nodes(const std::string& text, std::vector<std::pair<unsigned, unsigned>>& out)
{
    std::vector<std::pair<unsigned, unsigned>> nodes;
    for (const auto& part : split(text, ',')) {
        std::pair<unsigned, unsigned> n;
        std::string err = parse_node(part, n);
        if (!err.empty())
            return err;
        nodes.push_back(n);
    }
    out = nodes;
    return "";
}

std::string parse_signal(const std::string& text, input_signal& out)
{
    if (text == "none") {
        out = input_signal();
        out.present = false;
        return "";
    }
    const std::string bad = "'" + text + "' is not a signal WIDTHxHEIGHT@RATE[p|i], e.g. 1920x1080@60p, or none";
    size_t x = text.find('x'), at = text.find('@');
    if (x == std::string::npos || at == std::string::npos || at < x)
        return bad;
    std::string rate = text.substr(at + 1);
    input_signal s;
    if (!rate.empty() && (rate.back() == 'p' || rate.back() == 'i')) {
        s.progressive = rate.back() == 'p';
        rate.pop_back();
    }
    uint64_t w, h, r;
    if (!parse_decimal(text.substr(0, x), 65535, w) || !parse_decimal(text.substr(x + 1, at - x - 1), 65535, h))
        return bad + " (width and height 0 to 65535)";
    if (!parse_decimal(rate, 255, r))
        return bad + " (rate code 0 to 255)";
    s.width = unsigned(w);
    s.height = unsigned(h);
    s.rate = unsigned(r);
    out = s;
    return "";
}

std::string parse_mac(const std::string& text, unsigned char out[6])
{
    if (!parse_hex_bytes(text, 6, out))
        return "'" + text + "' is not a MAC address XX:XX:XX:XX:XX:XX";
    return "";
}

std::string parse_flash_id(const std::string& text, unsigned char out[3])
{
    if (!parse_hex_bytes(text, 3, out))
        return "'" + text + "' is not a flash identification XX:XX:XX (maker, type, capacity)";
    return "";
}

std::string parse_word(const std::string& text, uint32_t& out)
{
    const std::string bad = "'" + text + "' is not a 32-bit word (0x and up to 8 hex digits, or decimal)";
    uint64_t v = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (text.size() > 10)
            return bad;
        for (size_t i = 2; i < text.size(); ++i) {
            int d = hex_digit(text[i]);
            if (d < 0)
                return bad;
            v = v * 16 + unsigned(d);
        }
    } else if (!parse_decimal(text, UINT32_MAX, v)) {
        return bad;
    }
    out = uint32_t(v);
    return "";
}

std::string format_word(uint32_t word)
{
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08x", word);
    return buf;
}

std::string parse_seconds(const std::string& text, uint64_t& ns)
{
    const std::string bad = "'" + text + "' is not a time in seconds (e.g. 3 or 0.05, at most 1000000)";
    size_t dot = text.find('.');
    std::string whole = text.substr(0, dot);
    std::string frac = dot == std::string::npos ? "" : text.substr(dot + 1);
    uint64_t w = 0, f = 0;
    if (whole.empty() && frac.empty())
        return bad;
    if (!whole.empty() && !parse_decimal(whole, 1000000, w))
        return bad;
    if (dot != std::string::npos && (frac.empty() || frac.size() > 9 || !parse_decimal(frac, 999999999, f)))
        return bad;
    for (size_t i = frac.size(); i < 9; ++i)
        f *= 10;
    ns = w * ns_per_second + f;
    return "";
}

std::string format_nodes(const sim_config& c)
{
    std::string s;
    for (const auto& n : c.nodes)
        s += (s.empty() ? "" : ",") + std::to_string(n.first) + ":" + std::to_string(n.second);
    return s;
}

std::string format_signal(const input_signal& s)
{
    if (!s.present)
        return "none";
    return std::to_string(s.width) + "x" + std::to_string(s.height) + "@" + std::to_string(s.rate) +
           (s.progressive ? "p" : "i");
}

std::string format_mac(const unsigned char mac[6]) { return hex_bytes(mac, 6); }
std::string format_flash_id(const unsigned char id[3]) { return hex_bytes(id, 3); }

std::string format_seconds(uint64_t ns)
{
    char buf[40];
    snprintf(buf, sizeof buf, "%llu.%09llu", (unsigned long long)(ns / ns_per_second),
             (unsigned long long)(ns % ns_per_second));
    return buf;
}

namespace {

template <uint64_t sim_config::*field>
std::string seconds_from(const std::string& text, sim_config& c)
{
    return parse_seconds(text, c.*field);
}

template <uint64_t sim_config::*field>
bool seconds_to(const sim_config& c, std::string& text)
{
    text = format_seconds(c.*field);
    return true;
}

template <uint32_t sim_config::*word, bool sim_config::*given>
std::string word_from(const std::string& text, sim_config& c)
{
    std::string err = parse_word(text, c.*word);
    if (err.empty())
        c.*given = true;
    return err;
}

template <uint32_t sim_config::*word, bool sim_config::*given>
bool word_to(const sim_config& c, std::string& text)
{
    text = format_word(c.*word);
    return c.*given;
}

}  // namespace

// In the order of --help, which is the order of the exported variables.
const setting setting_table[] = {
    {"state", "DIR",
     "folder that holds the card's persistent state, your own\n"
     "and writable by no one else (default $CARDSIM_STATE, else\n"
     "$XDG_STATE_HOME/cardsim, else ~/.local/state/cardsim)",
     "CARDSIM_STATE",
     [](const std::string& text, sim_config& c) -> std::string {
         // A relative folder would name another card as soon as the program changes folder.
         if (text[0] != '/')
             return "'" + text +
                    "' is not an absolute path (it would name another folder once the program changes folder); "
                    "give the full path";
         c.state = text;
         return "";
     },
     [](const std::string& text, bool, sim_config& c) -> std::string {
         c.state = text;  // cardsim makes it absolute
         return "";
     },
     [](const sim_config& c, std::string& text) {
         text = c.state;
         return true;
     },
     "needs a folder", true},
    {"node", "A:F",
     "list /dev/dvb/adapterA/frontendF (repeatable; default 0:0);\n"
     "all listed nodes are one card; other nodes fail to open\n"
     "with ENOENT",
     "CARDSIM_NODES", [](const std::string& text, sim_config& c) { return parse_nodes(text, c.nodes); },
     [](const std::string& text, bool first, sim_config& c) {
         std::pair<unsigned, unsigned> node;
         std::string err = parse_node(text, node);
         if (err.empty()) {
             if (first)
                 c.nodes.clear();
             c.nodes.push_back(node);
         }
         return err;
     },
     [](const sim_config& c, std::string& text) {
         text = format_nodes(c);
         return true;
     },
     nullptr, true},
    {"signal", "WxH@RATE[p|i]",
     "HDMI input: width, height, frequency code 0 to 255,\n"
     "progressive or interlaced (default 1920x1080@60p); none:\n"
     "no input (0x48 and 0x4C read 0)",
     "CARDSIM_SIGNAL", [](const std::string& text, sim_config& c) { return parse_signal(text, c.signal); }, nullptr,
     [](const sim_config& c, std::string& text) {
         text = format_signal(c.signal);
         return true;
     },
     nullptr},
    {"reg48", "WORD", "what register 0x48 reads, all 32 bits (instead of --signal's)", "CARDSIM_REG48",
     word_from<&sim_config::raw48, &sim_config::has_raw48>, nullptr,
     word_to<&sim_config::raw48, &sim_config::has_raw48>, nullptr},
    {"reg4c", "WORD", "what register 0x4C reads, all 32 bits (instead of --signal's)", "CARDSIM_REG4C",
     word_from<&sim_config::raw4c, &sim_config::has_raw4c>, nullptr,
     word_to<&sim_config::raw4c, &sim_config::has_raw4c>, nullptr},
    {"mac", "XX:XX:XX:XX:XX:XX", "MAC address of a new card (default 00:1a:2b:3c:4d:5e)", "CARDSIM_MAC",
     [](const std::string& text, sim_config& c) {
         c.mac_given = true;
         return parse_mac(text, c.mac);
     },
     nullptr,
     [](const sim_config& c, std::string& text) {
         text = format_mac(c.mac);
         return true;
     },
     nullptr},
    {"busy-time", "SECONDS",
     "how long the card stays busy after a capture restart or a\n"
     "microcontroller reset (default 3; may have a fraction)",
     "CARDSIM_BUSY_TIME", seconds_from<&sim_config::busy_ns>, nullptr, seconds_to<&sim_config::busy_ns>, nullptr},
    {"request-time", "SECONDS",
     "virtual time that each request costs (default 0.000001;\n"
     "0 allowed)",
     "CARDSIM_REQUEST_TIME", seconds_from<&sim_config::request_ns>, nullptr, seconds_to<&sim_config::request_ns>,
     nullptr, true},
    {"fault", "NAME[=N]", "inject a fault (repeatable, see below)", "CARDSIM_FAULTS",
     [](const std::string& text, sim_config& c) { return parse_faults(text, c.faults); },
     [](const std::string& text, bool, sim_config& c) { return parse_fault(text, c.faults); },
     [](const sim_config& c, std::string& text) {
         text = format_faults(c.faults);
         return true;
     },
     nullptr},
    {"real-time", nullptr, "sleeps take real time (default: virtual time)", "CARDSIM_VTIME",
     [](const std::string& text, sim_config& c) -> std::string {
         if (text != "0" && text != "1")
             return "'" + text + "' is neither 1 (virtual time) nor 0 (real time)";
         c.vtime = text == "1";
         return "";
     },
     [](const std::string&, bool, sim_config& c) {
         c.vtime = false;
         return std::string();
     },
     [](const sim_config& c, std::string& text) {
         text = c.vtime ? "1" : "0";
         return true;
     },
     nullptr, true},
    {"trace", "FILE", "append one line per open, close, request and sleep to FILE", "CARDSIM_TRACE",
     [](const std::string& text, sim_config& c) {
         c.trace = text;  // cardsim makes it absolute
         return std::string();
     },
     nullptr,
     [](const sim_config& c, std::string& text) {
         text = c.trace;
         return !text.empty();
     },
     "needs a file", true},
    {"flash-id", "XX:XX:XX", "identification of the SPI flash (default c2:20:16)", "CARDSIM_FLASH_ID",
     [](const std::string& text, sim_config& c) {
         c.flash_id_given = true;
         return parse_flash_id(text, c.flash_id);
     },
     nullptr,
     [](const sim_config& c, std::string& text) {
         text = format_flash_id(c.flash_id);
         return true;
     },
     nullptr},
    {"version-word", "WORD", "what the SPI controller's register 0x20 reads (default\n0x04030201)",
     "CARDSIM_VERSION_WORD",
     [](const std::string& text, sim_config& c) {
         c.version_given = true;
         return parse_word(text, c.version_word);
     },
     nullptr,
     [](const sim_config& c, std::string& text) {
         text = format_word(c.version_word);
         return true;
     },
     nullptr},
    {"factory-fill", "XX",
     "every byte of a new card's EEPROM but the MAC address\n"
     "(default: zero, with 0x60 at 18 and 1 at 20)",
     "CARDSIM_FACTORY_FILL",
     [](const std::string& text, sim_config& c) -> std::string {
         unsigned char fill;
         if (!parse_hex_bytes(text, 1, &fill))
             return "'" + text + "' is not one byte XX in hex";
         c.factory_fill_given = true;
         c.factory_fill = fill;
         c.factory_bytes.assign(eeprom_size, fill);
         return "";
     },
     nullptr,
     [](const sim_config& c, std::string& text) {
         text = hex_bytes(&c.factory_fill, 1);
         return c.factory_fill_given;
     },
     nullptr},
    {"seed", "N|random",
     "draw the MAC, the flash identification, the version\n"
     "word and a new card's EEPROM bytes from seed N (up to\n"
     "19 digits), each unless given; random: a seed of its\n"
     "own, printed on standard error",
     "CARDSIM_SEED",
     [](const std::string& text, sim_config& c) -> std::string {
         if (text == "random") {
             std::random_device source;
             c.seed = (uint64_t(source()) << 32 | source()) % 10000000000000000000ull;  // 19 digits
             c.seed_random = true;
         } else if (!parse_decimal(text, UINT64_MAX, c.seed)) {
             return "'" + text + "' is neither a decimal number (up to 19 digits) nor random";
         }
         c.seeded = true;
         return "";
     },
     nullptr,
     [](const sim_config& c, std::string& text) {
         text = std::to_string(c.seed);
         return c.seeded;
     },
     nullptr, true},
    {"flash-busy-time", "SECONDS",
     "write-in-progress time after an erase or a page\n"
     "program (default 0.0005)",
     "CARDSIM_FLASH_BUSY_TIME", seconds_from<&sim_config::flash_busy_ns>, nullptr,
     seconds_to<&sim_config::flash_busy_ns>, nullptr},
    {"deny", nullptr,
     "every open of the node fails with EACCES, as a node of\n"
     "group video does for a user outside the group",
     "CARDSIM_DENY",
     [](const std::string& text, sim_config& c) -> std::string {
         if (text != "0" && text != "1")
             return "'" + text + "' is neither 1 (opens refused) nor 0";
         c.deny = text == "1";
         return "";
     },
     [](const std::string&, bool, sim_config& c) {
         c.deny = true;
         return std::string();
     },
     [](const sim_config& c, std::string& text) {
         text = "1";
         return c.deny;
     },
     nullptr},
    {"unplug-after", "N",
     "the card is unplugged when a program has had N requests\n"
     "answered: its next ones fail with ENODEV, and the node is\n"
     "gone (ENOENT) for every program, until the next run",
     "CARDSIM_UNPLUG_AFTER",
     [](const std::string& text, sim_config& c) -> std::string {
         if (!parse_decimal(text, forever - 1, c.unplug_after))
             return "'" + text + "' is not a number of requests";
         return "";
     },
     nullptr,
     [](const sim_config& c, std::string& text) {
         text = std::to_string(c.unplug_after);
         return c.unplug_after != forever;
     },
     nullptr},
    {"card", "A:F[,SETTING...]",
     "a card of a rack at /dev/dvb/adapterA/frontendF, its own\n"
     "card (repeatable, instead of --node); SETTING is any\n"
     "option of the card without its -- (mac=02:00:00:00:00:01,\n"
     "signal=none, fault=write-error, deny); the options give\n"
     "the rest",
     "CARDSIM_CARDS", parse_cards,
     [](const std::string& text, bool, sim_config& c) { return add_card(text, c); },
     [](const sim_config& c, std::string& text) {
         text = format_cards(c);
         return !c.cards.empty();
     },
     "needs a card A:F[,SETTING...]", true},
    {"rack", "FILE",
     "the cards of a rack, one --card a line (# comments; the\n"
     "settings may be separated by spaces)",
     nullptr, nullptr, [](const std::string& text, bool, sim_config& c) { return add_rack_file(text, c); },
     nullptr, "needs a file", true},
    // No option: for tests, which set it in the environment (lock_wait_from_env).
    {nullptr, nullptr, nullptr, "CARDSIM_LOCK_WAIT", seconds_from<&sim_config::lock_wait_ns>, nullptr, nullptr,
     nullptr, true},
};
const unsigned setting_count = sizeof setting_table / sizeof setting_table[0];

std::string option_help(const std::string& label, const char* help)
{
    // Labels up to 23 characters are padded to the help's column; a longer one gets two spaces.
    std::string pad = label.size() <= 23 ? std::string(std::max<size_t>(23 - label.size(), 1), ' ') : "  ";
    std::string out;
    for (const auto& line : split(help, '\n'))
        out += (out.empty() ? "  " + label + pad : std::string(25, ' ')) + line + "\n";
    return out;
}

std::string settings_help()
{
    std::string out;
    for (unsigned i = 0; i < setting_count; ++i) {
        const setting& s = setting_table[i];
        if (s.option)
            out += option_help(std::string("--") + s.option + (s.value ? std::string(" ") + s.value : ""), s.help);
    }
    return out;
}

std::string config_from_env(sim_config& out)
{
    const char* state = getenv("CARDSIM_STATE");
    if (!state || !*state)
        return "CARDSIM_STATE: not set (the folder of the card's state)";
    sim_config c;
    for (unsigned i = 0; i < setting_count; ++i) {
        const setting& s = setting_table[i];
        if (const char* v = s.variable ? getenv(s.variable) : nullptr) {
            std::string err = s.parse(v, c);
            if (!err.empty())
                return std::string(s.variable) + ": " + err;
        }
    }
    c.draw_open_values();
    out = c;
    return "";
}

void setting_from_env(const char* variable, sim_config& c)
{
    for (unsigned i = 0; i < setting_count; ++i) {
        const setting& s = setting_table[i];
        const char* v = s.variable && strcmp(s.variable, variable) == 0 ? getenv(variable) : nullptr;
        sim_config read = c;
        if (v && s.parse(v, read).empty())
            c = read;
    }
}

uint32_t format_word(const input_signal& s)
{
    if (!s.present)
        return 0;
    return (s.width >> 8 & 0xff) | (s.width & 0xff) << 8 | (s.height >> 8 & 0xff) << 16 |
           uint32_t(s.height & 0xff) << 24;
}

uint32_t rate_word(const input_signal& s)
{
    return s.present ? (s.rate & 0xff) | (s.progressive ? 0x100u : 0u) : 0;
}

uint32_t sim_config::format_word() const { return has_raw48 ? raw48 : cardsim::format_word(signal); }
uint32_t sim_config::rate_word() const { return has_raw4c ? raw4c : cardsim::rate_word(signal); }

}  // namespace cardsim
