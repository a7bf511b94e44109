// SPDX-License-Identifier: GPL-2.0-or-later
// The simulator's settings as cardsim's options and the CARDSIM_* variables
// give them. Every text a parser takes must come back unchanged through its
// canonical format (parse, format, parse), and a text it refuses must get a
// reason and leave the setting as it was.
//
// Input: the first byte picks the parser, the rest is the text. For the
// environment, the text is lines; each line's first byte picks a variable and
// the rest is its value.
#include "config.h"
#include "faults.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace cardsim;

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& text)
{
    fprintf(stderr, "settings fuzz: %s (text '%s')\n", what.c_str(), text.c_str());
    abort();
}

bool same_faults(const fault_set& a, const fault_set& b)
{
    for (unsigned i = 0; i < fault_count; ++i) {
        const fault_spec& f = fault_table[i];
        if ((f.flag && a.*f.flag != b.*f.flag) || (f.number && a.*f.number != b.*f.number))
            return false;
    }
    return true;
}

bool same_signal(const input_signal& a, const input_signal& b)
{
    return a.present == b.present && a.width == b.width && a.height == b.height && a.rate == b.rate &&
           a.progressive == b.progressive;
}

bool same_config(const sim_config& a, const sim_config& b)
{
    return a.state == b.state && a.nodes == b.nodes && same_signal(a.signal, b.signal) &&
           !memcmp(a.mac, b.mac, sizeof a.mac) && a.busy_ns == b.busy_ns && same_faults(a.faults, b.faults) &&
           a.vtime == b.vtime && a.trace == b.trace && !memcmp(a.flash_id, b.flash_id, sizeof a.flash_id) &&
           a.flash_busy_ns == b.flash_busy_ns && a.request_ns == b.request_ns && a.has_raw48 == b.has_raw48 &&
           a.has_raw4c == b.has_raw4c && (!a.has_raw48 || a.raw48 == b.raw48) &&
           (!a.has_raw4c || a.raw4c == b.raw4c) && a.version_word == b.version_word &&
           a.factory_bytes == b.factory_bytes && a.lock_wait_ns == b.lock_wait_ns && a.deny == b.deny &&
           a.unplug_after == b.unplug_after && a.cards == b.cards;
}

// One parser with its format: `parse` into a value, `format` back to text,
// `same` to compare two values. A refusal must leave the value untouched.
template <typename T, typename Parse, typename Format, typename Same>
void round_trip(const std::string& text, T start, Parse parse, Format format, Same same)
{
    T value = start;
    std::string err = parse(text, value);
    if (!err.empty()) {
        if (!same(value, start))
            fail("a refused text changed the setting", text);
        return;
    }
    std::string canonical = format(value);
    T again = start;
    if (!(err = parse(canonical, again)).empty())
        fail("the canonical text '" + canonical + "' is refused: " + err, text);
    if (!same(value, again))
        fail("the canonical text '" + canonical + "' reads back as another value", text);
    if (format(again) != canonical)
        fail("the canonical text '" + canonical + "' is not stable", text);
}

struct Mac {
    unsigned char b[6] = {1, 2, 3, 4, 5, 6};
};
struct FlashId {
    unsigned char b[3] = {7, 8, 9};
};

// Every CARDSIM_* variable, from the table cardsim and the interposer read them from.
std::vector<const char*> variables()
{
    std::vector<const char*> names;
    for (unsigned i = 0; i < setting_count; ++i)
        if (setting_table[i].variable)
            names.push_back(setting_table[i].variable);
    return names;
}

// What cardsim hands to its COMMAND for a configuration it read: each row's
// variable in its format, or unset.
void export_config(const sim_config& c)
{
    for (unsigned i = 0; i < setting_count; ++i) {
        const setting& s = setting_table[i];
        std::string text;
        if (!s.variable || !s.format)
            continue;
        if (s.format(c, text))
            setenv(s.variable, text.c_str(), 1);
        else
            unsetenv(s.variable);
    }
}

void environment(const std::string& text)
{
    static const std::vector<const char*> names = variables();
    for (const char* name : names)
        unsetenv(name);
    setenv("CARDSIM_STATE", "/nonexistent/card", 1);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        if (line.empty())
            continue;
        // The environment holds no NUL: a value ends at the first.
        std::string value = line.substr(1).c_str();
        setenv(names[(unsigned char)line[0] % names.size()], value.c_str(), 1);
    }
    sim_config read;
    std::string err = config_from_env(read);
    if (!err.empty()) {
        if (err.rfind("CARDSIM_", 0) != 0 || err.find(": ") == std::string::npos)
            fail("the refusal does not name its variable: " + err, text);
        return;
    }
    export_config(read);
    sim_config again;
    if (!(err = config_from_env(again)).empty())
        fail("what cardsim exports is refused: " + err, text);
    if (!same_config(read, again))
        fail("what cardsim exports reads back as another configuration", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    using Node = std::pair<unsigned, unsigned>;
    using Nodes = std::vector<Node>;
    switch (data[0] % 9) {
    case 0:
        round_trip<Nodes>(text, Nodes{{5, 6}}, parse_nodes,
                          [](const Nodes& n) {
                              sim_config c;
                              c.nodes = n;
                              return format_nodes(c);
                          },
                          [](const Nodes& a, const Nodes& b) { return a == b; });
        break;
    case 1:
        round_trip<Node>(text, Node{5, 6}, parse_node,
                         [](const Node& n) { return std::to_string(n.first) + ":" + std::to_string(n.second); },
                         [](const Node& a, const Node& b) { return a == b; });
        break;
    case 2:
        round_trip<input_signal>(text, input_signal{}, parse_signal, format_signal, same_signal);
        break;
    case 3:
        round_trip<Mac>(text, Mac{}, [](const std::string& t, Mac& m) { return parse_mac(t, m.b); },
                        [](const Mac& m) { return format_mac(m.b); },
                        [](const Mac& a, const Mac& b) { return !memcmp(a.b, b.b, sizeof a.b); });
        break;
    case 4:
        round_trip<FlashId>(text, FlashId{}, [](const std::string& t, FlashId& f) { return parse_flash_id(t, f.b); },
                            [](const FlashId& f) { return format_flash_id(f.b); },
                            [](const FlashId& a, const FlashId& b) { return !memcmp(a.b, b.b, sizeof a.b); });
        break;
    case 5:
        round_trip<uint64_t>(text, 42, parse_seconds, format_seconds,
                             [](uint64_t a, uint64_t b) { return a == b; });
        break;
    case 6:
        round_trip<uint32_t>(text, 42, parse_word, [](uint32_t w) { return format_word(w); },
                             [](uint32_t a, uint32_t b) { return a == b; });
        break;
    case 7:
        round_trip<fault_set>(text, fault_set{}, parse_faults, format_faults, same_faults);
        break;
    case 8:
        environment(text);
        break;
    }
    return 0;
}
