// SPDX-License-Identifier: GPL-2.0-or-later
// Settings of one simulated card: what `cardsim` takes as options and hands to
// the interposer as CARDSIM_* environment variables.
#pragma once

#include "faults.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace cardsim {

constexpr uint64_t ns_per_second = 1000000000ull;

// The descriptor (a datagram socket), inherited from cardsim, on which the
// interposer reports a file it could not write, so that cardsim's exit says so.
constexpr char lost_write_variable[] = "CARDSIM_LOST_WRITES";

struct input_signal {
    bool present = true;  // false: no input, both format registers read 0
    unsigned width = 1920;
    unsigned height = 1080;
    unsigned rate = 60;  // frequency code, 0 to 255
    bool progressive = true;
};

struct sim_config {
    std::string state;
    std::vector<std::pair<unsigned, unsigned>> nodes{{0, 0}};
    input_signal signal;
    // The values a real card holds as it will, which no program may rely on:
    // cardsim's defaults, each replaced by its setting or drawn from `seed`.
    unsigned char mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    unsigned char flash_id[3] = {0xc2, 0x20, 0x16};
    uint32_t version_word = 0x04030201;  // what the SPI controller's register 0x20 reads
    // A new card's EEPROM bytes other than the MAC: empty for cardsim's own
    // layout, else all 256 (all factory_fill when given, else drawn).
    std::vector<unsigned char> factory_bytes;
    bool factory_fill_given = false;
    unsigned char factory_fill = 0;
    bool mac_given = false, flash_id_given = false, version_given = false;
    bool seeded = false, seed_random = false;  // seed_random: cardsim drew the seed itself
    uint64_t seed = 0;
    uint64_t busy_ns = 3 * ns_per_second;
    fault_set faults;
    bool vtime = true;
    std::string trace;
    // Well inside the library's waits: a page program polls 250 times without
    // a pause (about 4 requests, 4 us, each), a word program 50 times 1 ms apart.
    uint64_t flash_busy_ns = 500000;
    // What one request costs the card: about one register access on a PCIe bus.
    uint64_t request_ns = 1000;
    // How long a process waits for the card's lock before the request fails: a
    // program stopped while it holds the lock (Ctrl-Z, a debugger) must not stop
    // every other one. CARDSIM_LOCK_WAIT shortens it for tests.
    uint64_t lock_wait_ns = 5 * ns_per_second;
    // Raw words that registers 0x48 and 0x4C read instead of the signal's.
    bool has_raw48 = false, has_raw4c = false;
    uint32_t raw48 = 0, raw4c = 0;
    // Every open of the node fails with EACCES, as a node of another group does.
    bool deny = false;
    // Requests the card answers in a program before it is unplugged; forever: never.
    uint64_t unplug_after = forever;
    // The cards of a rack, each "A:F" and its own settings over these; empty: one card.
    std::vector<std::string> cards;

    // Draws every open value that no setting gave from `seed`, when there is one.
    void draw_open_values();
    // A new card's EEPROM: the factory bytes and the MAC.
    void new_eeprom(unsigned char out[256]) const;

    uint32_t format_word() const;
    uint32_t rate_word() const;

    // The busy time after a restart, with the busy=N fault applied.
    uint64_t restart_busy_ns() const;
    bool lists(unsigned adapter, unsigned frontend) const;
};

// Each parser returns "" on success, else what is wrong with the text.
std::string parse_nodes(const std::string& text, std::vector<std::pair<unsigned, unsigned>>& out);
std::string parse_node(const std::string& text, std::pair<unsigned, unsigned>& out);
std::string parse_signal(const std::string& text, input_signal& out);
std::string parse_mac(const std::string& text, unsigned char out[6]);
std::string parse_seconds(const std::string& text, uint64_t& ns);
std::string parse_flash_id(const std::string& text, unsigned char out[3]);
// 0x and up to eight hex digits, or a decimal number below 2^32.
std::string parse_word(const std::string& text, uint32_t& out);

// Canonical texts, as the parsers read them back.
std::string format_nodes(const sim_config& c);
std::string format_signal(const input_signal& s);
std::string format_mac(const unsigned char mac[6]);
std::string format_seconds(uint64_t ns);
std::string format_flash_id(const unsigned char id[3]);
std::string format_word(uint32_t word);  // 0x%08x

// One setting of the card: the cardsim option that gives it, its lines of
// --help, and the CARDSIM_* variable that hands it to the interposer. cardsim
// parses, describes and exports the settings from this table, and the
// interposer reads them back from it: a new setting is one row.
struct setting {
    const char* option;    // "signal" for --signal; nullptr for a variable that has no option
    const char* value;     // what the option takes ("SECONDS"); nullptr for a flag
    const char* help;      // its lines of --help, "\n" between them
    const char* variable;  // "CARDSIM_SIGNAL"
    // The variable's text into the settings: "" or what is wrong with it. The
    // option's value goes the same way unless the row has parse_option.
    std::string (*parse)(const std::string& text, sim_config& c);
    // `first`: the option's first use on the command line (a repeated option adds to a list).
    std::string (*parse_option)(const std::string& text, bool first, sim_config& c);
    // The variable's text; false when the variable is to be unset. nullptr:
    // cardsim leaves the variable as its caller set it.
    bool (*format)(const sim_config& c, std::string& text);
    const char* empty_message;  // the option's complaint about an empty value ("needs a folder"), or nullptr
    // The same for every card of a rack (the state folder, the clock, the
    // trace): no setting of --card. Any other setting may differ per card.
    bool whole_run = false;
};

extern const setting setting_table[];
extern const unsigned setting_count;

// One option's lines of --help: "  --LABEL" and the help, its later lines indented.
std::string option_help(const std::string& label, const char* help);
// The settings' lines of --help, in the table's order.
std::string settings_help();

// Reads every CARDSIM_* variable; returns "" or "VARIABLE: what is wrong".
std::string config_from_env(sim_config& out);
// Reads one CARDSIM_* variable into c, as config_from_env does; c stays as it
// was when the variable is unset or malformed.
void setting_from_env(const char* variable, sim_config& c);

// The value 0x48 reads: width high, width low, height high, height low from byte 0 up.
uint32_t format_word(const input_signal& s);
// The value 0x4C reads: byte 0 the frequency code, bit 8 progressive.
uint32_t rate_word(const input_signal& s);

}  // namespace cardsim
