// SPDX-License-Identifier: GPL-2.0-or-later
#include "config.h"

#include "text.h"

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
    const std::string bad = "'" + text + "' is not a signal WIDTHxHEIGHT@RATE[p|i], e.g. 1920x1080@60p";
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

std::string config_from_env(sim_config& out)
{
    sim_config c;
    auto get = [](const char* name) -> const char* { return getenv(name); };
    std::string err;
    const char* v;
    if (!(v = get("CARDSIM_STATE")) || !*v)
        return "CARDSIM_STATE: not set (the folder of the card's state)";
    // A relative folder would name another card as soon as the program changes folder.
    if (v[0] != '/')
        return std::string("CARDSIM_STATE: '") + v +
               "' is not an absolute path (it would name another folder once the program changes folder); give "
               "the full path";
    c.state = v;
    if ((v = get("CARDSIM_NODES")) && !(err = parse_nodes(v, c.nodes)).empty())
        return "CARDSIM_NODES: " + err;
    if ((v = get("CARDSIM_SIGNAL")) && !(err = parse_signal(v, c.signal)).empty())
        return "CARDSIM_SIGNAL: " + err;
    if ((v = get("CARDSIM_MAC")) && !(err = parse_mac(v, c.mac)).empty())
        return "CARDSIM_MAC: " + err;
    if ((v = get("CARDSIM_BUSY_TIME")) && !(err = parse_seconds(v, c.busy_ns)).empty())
        return "CARDSIM_BUSY_TIME: " + err;
    if ((v = get("CARDSIM_FAULTS")) && !(err = parse_faults(v, c.faults)).empty())
        return "CARDSIM_FAULTS: " + err;
    if ((v = get("CARDSIM_VTIME"))) {
        if (strcmp(v, "0") && strcmp(v, "1"))
            return std::string("CARDSIM_VTIME: '") + v + "' is neither 1 (virtual time) nor 0 (real time)";
        c.vtime = strcmp(v, "1") == 0;
    }
    if ((v = get("CARDSIM_TRACE")))
        c.trace = v;
    if ((v = get("CARDSIM_FLASH_ID")) && !(err = parse_flash_id(v, c.flash_id)).empty())
        return "CARDSIM_FLASH_ID: " + err;
    if ((v = get("CARDSIM_FLASH_BUSY_TIME")) && !(err = parse_seconds(v, c.flash_busy_ns)).empty())
        return "CARDSIM_FLASH_BUSY_TIME: " + err;
    if ((v = get("CARDSIM_REQUEST_TIME")) && !(err = parse_seconds(v, c.request_ns)).empty())
        return "CARDSIM_REQUEST_TIME: " + err;
    uint64_t lock_wait = 0;
    if ((v = get("CARDSIM_LOCK_WAIT")) && !(err = parse_seconds(v, lock_wait)).empty())
        return "CARDSIM_LOCK_WAIT: " + err;
    if ((v = get("CARDSIM_REG48"))) {
        if (!(err = parse_word(v, c.raw48)).empty())
            return "CARDSIM_REG48: " + err;
        c.has_raw48 = true;
    }
    if ((v = get("CARDSIM_REG4C"))) {
        if (!(err = parse_word(v, c.raw4c)).empty())
            return "CARDSIM_REG4C: " + err;
        c.has_raw4c = true;
    }
    out = c;
    return "";
}

uint32_t format_word(const input_signal& s)
{
    return (s.width >> 8 & 0xff) | (s.width & 0xff) << 8 | (s.height >> 8 & 0xff) << 16 |
           uint32_t(s.height & 0xff) << 24;
}

uint32_t rate_word(const input_signal& s) { return (s.rate & 0xff) | (s.progressive ? 0x100u : 0u); }

uint32_t sim_config::format_word() const { return has_raw48 ? raw48 : cardsim::format_word(signal); }
uint32_t sim_config::rate_word() const { return has_raw4c ? raw4c : cardsim::rate_word(signal); }

}  // namespace cardsim
