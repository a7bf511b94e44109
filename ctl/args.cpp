// SPDX-License-Identifier: GPL-2.0-or-later
// The command line of ravelinctl and the description that apply takes: all
// of it is checked here, before any node is opened.
#include "ravelinctl.h"
#include "rack.h"

#include "zeb_card.h"
#include "zeb_program.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <sstream>

namespace ctl {

namespace {

const std::string parsing = "parsing the command line";

[[noreturn]] void refuse(const std::string& message, const std::string& step = parsing)
{
    throw failure(exit_usage, step, message);
}

// The ranges that both programs document for the advanced settings.
constexpr const auto& levels = zeb_encoder::levels;
constexpr int width_min = 480, width_max = 1920;
constexpr int height_min = 272, height_max = 1080;
constexpr int bitrate_min = 350, bitrate_max = 18000;
constexpr int frame_rate_min = 24, frame_rate_max = 60;
constexpr int node_max = 255;
// What apply reads at most: a description is well under a kilobyte.
constexpr std::size_t description_max = 65536;

std::string levels_text()
{
    std::string t;
    for (int l : levels)
        t += (t.empty() ? "" : "|") + std::to_string(l);
    return t;
}

bool is_level(int level) { return std::find(std::begin(levels), std::end(levels), level) != std::end(levels); }

// "super 1920*1080 " gives "super".
std::vector<std::string> names_of_presets()
{
    std::vector<std::string> names;
    for (const auto& text : *zeb_program_ravelins.presets.value) {
        std::string t = text.text;
        names.push_back(t.substr(0, t.find(' ')));
    }
    return names;
}

int preset_of(const std::string& word)
{
    const auto& names = preset_names();
    for (std::size_t i = 0; i < names.size(); ++i)
        if (word == names[i])
            return int(i) + 1;
    if (!word.empty() && std::isdigit((unsigned char)word[0]))
        return parse_number(word, 1, int(names.size()), "preset");
    std::string all;
    for (std::size_t i = 0; i < names.size(); ++i)
        all += (i ? ", " : "") + std::to_string(i + 1) + " " + names[i];
    refuse("preset: \"" + word + "\" is neither 1-7 nor a preset name (" + all + ")");
}

// The whole file, or refused when it holds more than `limit` bytes.
std::string read_all(const std::string& file, std::size_t limit)
{
    const std::string source = file == "-" ? "standard input" : file;
    std::ifstream named;
    if (file != "-") {
        named.open(file, std::ios::binary);
        if (!named)
            refuse(file + ": " + std::strerror(errno), "reading " + file);
    }
    std::istream& in = file == "-" ? std::cin : named;
    std::string text;
    char buf[65536];
    while (in.read(buf, sizeof buf), in.gcount() > 0) {
        text.append(buf, std::size_t(in.gcount()));
        if (text.size() > limit)
            refuse(source + ": more than " + std::to_string(limit) + " bytes, more than ravelinctl reads from it",
                   "reading " + source);
    }
    if (in.bad())
        refuse("cannot read " + source, "reading " + source);
    return text;
}

std::string check_name(const std::string& name, const std::string& step)
{
    if (name.size() > zeb_eeprom::name_max)
        refuse("program name: " + std::to_string(name.size()) + " bytes, at most " +
                   std::to_string(zeb_eeprom::name_max),
               step);
    if (name.find('\0') != std::string::npos)
        refuse("program name: a NUL byte cannot be stored", step);
    return name;
}

output_config advanced_output(advanced_settings a)
{
    output_config o;
    o.mode = output_mode::advanced;
    o.advanced = a;
    return o;
}

// set advanced --profile high|main --level L --width W --height H --bitrate B --frame-rate F
output_config parse_advanced(const std::vector<std::string>& words)
{
    advanced_settings a;
    bool given[6] = {};
    const char* names[6] = {"--profile", "--level", "--width", "--height", "--bitrate", "--frame-rate"};
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string key = words[i], value;
        const auto eq = key.find('=');
        if (eq != std::string::npos) {
            value = key.substr(eq + 1);
            key = key.substr(0, eq);
        }
        const int k = int(std::find(std::begin(names), std::end(names), key) - std::begin(names));
        if (k == 6)
            refuse("set advanced: unknown setting \"" + words[i] +
                   "\" (--profile, --level, --width, --height, --bitrate, --frame-rate)");
        if (eq == std::string::npos) {
            if (i + 1 == words.size())
                refuse("set advanced: " + key + " needs a value");
            value = words[++i];
        }
        if (given[k])
            refuse("set advanced: " + key + " given twice");
        given[k] = true;
        switch (k) {
        case 0:
            if (value != "high" && value != "main")
                refuse("--profile: \"" + value + "\" is neither high nor main");
            a.main_profile = value == "main";
            break;
        case 1:
            a.level = parse_number(value, levels[0], levels[std::size(levels) - 1], "--level");
            if (!is_level(a.level))
                refuse("--level: " + value + " is not one of " + levels_text());
            break;
        case 2: a.width = parse_number(value, width_min, width_max, "--width"); break;
        case 3: a.height = parse_number(value, height_min, height_max, "--height"); break;
        case 4: a.bitrate = parse_number(value, bitrate_min, bitrate_max, "--bitrate"); break;
        case 5: a.frame_rate = parse_number(value, frame_rate_min, frame_rate_max, "--frame-rate"); break;
        }
    }
    for (int k = 0; k < 6; ++k)
        if (!given[k])
            refuse(std::string("set advanced: ") + names[k] + " is missing (all six settings are needed)");
    return advanced_output(a);
}

// The options of the whole run, wherever they stand before "--".
struct global_option {
    const char* long_name;
    char short_name;
    bool takes_value;
    int bare_value = -1;  // >= 0: a value only after "=", this one without
};
constexpr global_option globals[] = {
    {"adapter", 'a', true}, {"frontend", 'n', true}, {"mac", 0, true},  {"json", 0, false},
    {"quiet", 0, false},    {"force", 0, false},     {"help", 'h', false}, {"version", 0, false},
    {"wait", 0, false, wait_default_seconds},
};

void take_global(request& r, const global_option& o, const std::string& value, bool& help, bool& version)
{
    const std::string name = o.long_name;
    if (name == "adapter") {
        if (r.adapter_given)
            refuse("-a given twice");
        r.adapter = parse_number(value, 0, node_max, "-a (adapter)");
        r.adapter_given = true;
    } else if (name == "frontend") {
        if (r.frontend_given)
            refuse("-n given twice");
        r.frontend = parse_number(value, 0, node_max, "-n (frontend)");
        r.frontend_given = true;
    } else if (name == "mac") {
        r.mac = parse_mac(value);
        if (!r.mac)
            refuse("--mac: \"" + value + "\" is not a MAC address like 00:1a:2b:3c:4d:5e");
    } else if (name == "json") {
        r.json = true;
    } else if (name == "quiet") {
        r.quiet = true;
    } else if (name == "force") {
        r.force = true;
    } else if (name == "wait") {
        if (r.wait_given)
            refuse("--wait given twice");
        r.wait_seconds = parse_number(value, 0, wait_max_seconds, "--wait");
        r.wait_given = true;
    } else if (name == "help") {
        help = true;
    } else {
        version = true;
    }
}

}  // namespace

const std::vector<std::string>& preset_names()
{
    static const std::vector<std::string> names = names_of_presets();
    return names;
}

int parse_number(const std::string& text, int min, int max, const std::string& what)
{
    const std::string range = std::to_string(min) + "-" + std::to_string(max);
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), [](char c) {
            return c >= '0' && c <= '9';
        }))
        refuse(what + ": \"" + text + "\" is not a decimal number (" + range + ")");
    if (text.size() > 1 && text[0] == '0')
        refuse(what + ": \"" + text + "\" has a leading zero; write it in decimal without (" + range + ")");
    const int n = std::stoi(text);
    if (n < min || n > max)
        refuse(what + ": " + text + " is outside " + range);
    return n;
}

std::optional<mac_address> parse_mac(const std::string& text)
{
    if (text.size() != 17)
        return std::nullopt;
    mac_address mac{};
    for (int i = 0; i < 6; ++i) {
        const char* p = text.c_str() + 3 * i;
        if (!std::isxdigit((unsigned char)p[0]) || !std::isxdigit((unsigned char)p[1]) ||
            (i < 5 && p[2] != ':'))
            return std::nullopt;
        mac[i] = (unsigned char)std::stoi(std::string(p, 2), nullptr, 16);
    }
    return mac;
}

std::string mac_text(const mac_address& mac)
{
    char t[18];
    std::snprintf(t, sizeof t, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return t;
}

std::string help_text()
{
    std::string presets;
    const auto& names = preset_names();
    for (std::size_t i = 0; i < names.size(); ++i)
        presets += (i ? ", " : "") + std::to_string(i + 1) + " " + names[i];
    return "Usage: ravelinctl [OPTIONS] COMMAND [ARGUMENTS]\n"
           "       ravelinctl --help | --version | help COMMAND | COMMAND --help\n"
           "\n"
           "Reads and changes the HDMI capture card for scripts: every setting is read\n"
           "back from the card, a change is written only where the card differs, and\n"
           "the exit status tells whether the card did what was asked.\n"
           "\n"
           "Options (anywhere before \"--\"):\n"
           "  -a, --adapter A    adapter number, 0-255 (default 0)\n"
           "  -n, --frontend F   frontend number, 0-255 (default 0)\n"
           "      --mac MAC      the card with this MAC address (00:1a:2b:3c:4d:5e) among\n"
           "                     the nodes that list shows: the first such node, or with\n"
           "                     -n its frontend F; not with -a\n"
           "      --json         print one JSON object on standard output, errors, help\n"
           "                     and version too\n"
           "      --quiet        no progress line; changing commands print nothing on success\n"
           "      --force        write even where the card already stores what is asked\n"
           "      --wait[=S]     while another program holds the node, try again until it\n"
           "                     is free, for up to S seconds (default " + std::to_string(wait_default_seconds) + ", at most\n"
           "                     " + std::to_string(wait_max_seconds) + "); not with list and metrics\n"
           "  -h, --help         print this help and exit\n"
           "      --version      print the version and exit\n"
           "Numbers are decimal, without sign or leading zeros.\n"
           "\n"
           "Commands:\n"
           "  list                    every /dev/dvb/adapter*/frontend* node and what it is\n"
           "  status                  input signal, stored output format, mute, program name\n"
           "                          and MAC address, all read from the card\n"
           "  set auto                output format follows the input\n"
           "  set preset N|NAME       quality preset 1-7 or its name:\n"
           "                          " + presets + "\n"
           "  set advanced --profile high|main --level " + levels_text() + "\n"
           "               --width 480-1920 --height 272-1080 --bitrate 350-18000 (kbit/s)\n"
           "               --frame-rate 24-60\n"
           "                          all six are needed, as --name VALUE or --name=VALUE\n"
           "  mute on|off             mute the output, or not\n"
           "  name TEXT               program name, at most 160 bytes (\"\" clears it;\n"
           "                          \"name -- TEXT\" for a name that starts with -)\n"
           "  reset capture|mcu       restart the capture logic or the microcontroller and\n"
           "                          wait until the card is ready (up to 200 s)\n"
           "  apply FILE|-            make the card match FILE (- standard input), written\n"
           "                          as \"status --json\" prints it: only what differs is\n"
           "                          written; adapter, frontend, mac and input are not\n"
           "                          looked at, a missing key leaves its setting alone,\n"
           "                          output mode \"none\" leaves the output alone\n"
           "  diff FILE|-             what apply FILE would write, setting by setting, as\n"
           "                          stored -> as described; writes nothing (exit 0 the\n"
           "                          card matches, 1 apply would write)\n"
           "  flash id                identify the SPI flash\n"
           "  flash read FILE         copy the whole flash into FILE\n"
           "  flash verify FILE       compare the whole flash with FILE (exit 1 when they\n"
           "                          differ)\n"
           "  metrics [--config DIR] [--output FILE]\n"
           "                          every node's state in Prometheus's text format, and\n"
           "                          whether each card matches its description in DIR\n"
           "                          (default /etc/ravelin); FILE is replaced whole\n"
           "  configure [--config DIR] [NODE]\n"
           "                          apply to the card its description in DIR (default\n"
           "                          /etc/ravelin): 00-1a-2b-3c-4d-5e.json for its MAC,\n"
           "                          else adapterA-frontendF.json for its place; NODE is\n"
           "                          /dev/dvb/adapterA/frontendF\n"
           "\n"
           "A stored preset outside 1-7 reads as output mode \"none\" (in JSON with\n"
           "\"invalid_preset\"); set preset writes over it.\n"
           "\n"
           "Exit status: 0 done, or nothing to do; 1 the card did not do what was asked\n"
           "(standard error names the step), or diff or flash verify found a difference;\n"
           "2 bad usage or input, refused before anything is sent to the card; 3 the node\n"
           "cannot be used (missing, permission, busy).\n";
}

std::string command_help(const std::string& name)
{
    // The command's lines of the Commands section: its own, then those indented further.
    const std::string all = help_text();
    const std::size_t from = all.find("Commands:\n") + 10, end = all.find("\n\n", from);
    std::istringstream lines(all.substr(from, end - from + 1));
    std::string own, line;
    bool in = false;
    while (std::getline(lines, line)) {
        if (line.rfind("  " + name + " ", 0) == 0)
            in = true;
        else if (line.size() > 2 && line[2] != ' ')
            in = false;
        if (in)
            own += line + "\n";
    }
    return "Usage: ravelinctl [OPTIONS] " + name + " ...\n" + own + "\nThe options and the exit status: ravelinctl --help\n";
}

namespace {

// Takes the global options, wherever they stand before "--", out of argv
// into `r`; what is left are the command's words.
std::vector<std::string> take_globals(int argc, char** argv, request& r, bool& help, bool& version)
{
    std::vector<std::string> words;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options_end || arg.size() < 2 || arg[0] != '-') {
            words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_end = true;
            continue;
        }
        const global_option* found = nullptr;
        std::string value;
        bool has_value = false;
        if (arg[1] == '-') {
            std::string name = arg.substr(2);
            const auto eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
                has_value = true;
            }
            for (const auto& o : globals)
                if (name == o.long_name)
                    found = &o;
        } else {
            for (const auto& o : globals)
                if (o.short_name && arg[1] == o.short_name)
                    found = &o;
            if (found && arg.size() > 2) {
                if (!found->takes_value)
                    found = nullptr;
                else
                    value = arg.substr(2), has_value = true;
            }
        }
        if (!found) {
            // The settings of set advanced are its own words.
            words.push_back(arg);
            continue;
        }
        if (found->takes_value && !has_value) {
            if (i + 1 == argc)
                refuse("option " + arg + " needs a value");
            value = argv[++i];
        } else if (!found->takes_value && found->bare_value >= 0 && !has_value) {
            value = std::to_string(found->bare_value);
        } else if (!found->takes_value && has_value && found->bare_value < 0) {
            refuse("option --" + std::string(found->long_name) + " takes no value");
        }
        take_global(r, *found, value, help, version);
    }
    return words;
}

// A command's words (the command itself first), with the checks every command makes.
struct command_words {
    const std::vector<std::string>& words;

    const std::string& operator[](std::size_t i) const { return words[i]; }
    std::size_t size() const { return words.size(); }

    void expect(std::size_t count, const std::string& usage) const
    {
        if (words.size() != count)
            refuse(words[0] + ": usage: ravelinctl " + usage);
    }
    // A word that looks like an option only counts for set advanced, and as
    // the text or file of name, apply, diff and flash.
    void no_options(std::size_t from) const
    {
        for (std::size_t i = from; i < words.size(); ++i)
            if (words[i].size() > 1 && words[i][0] == '-')
                refuse("unknown option " + words[i] + "; see --help");
    }
};

void parse_list(request& r, const command_words& w)
{
    w.no_options(1);
    w.expect(1, "list");
    if (r.mac || r.adapter_given || r.frontend_given)
        refuse("list looks at every node: -a, -n and --mac do not apply");
    if (r.wait_given)
        refuse("list waits for no node, it says which are busy: --wait does not apply");
    r.what = command::list;
}

void parse_status(request& r, const command_words& w)
{
    w.no_options(1);
    w.expect(1, "status");
    r.what = command::status;
}

void parse_set(request& r, const command_words& w)
{
    if (w.size() < 2)
        refuse("set: usage: ravelinctl set auto | preset N|NAME | advanced SETTINGS");
    r.what = command::set;
    output_config o;
    if (w[1] == "auto") {
        w.no_options(2);
        w.expect(2, "set auto");
        o.mode = output_mode::automatic;
    } else if (w[1] == "preset") {
        w.no_options(2);
        w.expect(3, "set preset N|NAME");
        o.mode = output_mode::preset;
        o.preset = preset_of(w[2]);
    } else if (w[1] == "advanced") {
        o = parse_advanced(std::vector<std::string>(w.words.begin() + 2, w.words.end()));
    } else {
        refuse("set: \"" + w[1] + "\" is none of auto, preset, advanced");
    }
    r.want.output = o;
}

void parse_mute(request& r, const command_words& w)
{
    w.no_options(1);
    w.expect(2, "mute on|off");
    if (w[1] != "on" && w[1] != "off")
        refuse("mute: \"" + w[1] + "\" is neither on nor off");
    r.what = command::mute;
    r.want.mute = w[1] == "on";
}

void parse_name(request& r, const command_words& w)
{
    w.expect(2, "name TEXT");
    r.what = command::name;
    r.want.program_name = check_name(w[1], parsing);
}

void parse_reset(request& r, const command_words& w)
{
    w.no_options(1);
    w.expect(2, "reset capture|mcu");
    if (w[1] != "capture" && w[1] != "mcu")
        refuse("reset: \"" + w[1] + "\" is neither capture nor mcu");
    r.what = command::reset;
    r.reset_mcu = w[1] == "mcu";
}

// JSON with every key once in its object; any fault of the text, a number
// beyond what JSON numbers hold here included, is a refusal.
nlohmann::json parse_json(const std::string& text, const std::string& source)
{
    std::vector<std::vector<std::string>> keys;  // of each open object
    auto once = [&](int, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
        using e = nlohmann::json::parse_event_t;
        if (event == e::object_start)
            keys.emplace_back();
        else if (event == e::object_end)
            keys.pop_back();
        else if (event == e::key) {
            const std::string key = parsed.get<std::string>();
            if (std::find(keys.back().begin(), keys.back().end(), key) != keys.back().end())
                refuse(source + ": key " + parsed.dump() + " given twice in one object", "reading " + source);
            keys.back().push_back(key);
        }
        return true;
    };
    try {
        return nlohmann::json::parse(text, once);
    } catch (const nlohmann::json::exception& e) {
        refuse(source + ": not JSON: " + e.what(), "reading " + source);
    }
}

// apply and diff: the same description, read the same way.
void parse_apply(request& r, const command_words& w)
{
    w.expect(2, w[0] + " FILE|-");
    r.what = w[0] == "diff" ? command::diff : command::apply;
    if (r.what == command::diff && r.force)
        refuse("diff writes nothing: --force does not apply");
    r.file = w[1];
    const std::string source = r.file == "-" ? "standard input" : r.file;
    r.want = parse_description(parse_json(read_all(r.file, description_max), source), source);
}

// A flash image to verify against: a whole flash, read before the node is opened.
std::vector<unsigned char> flash_image(const std::string& file)
{
    const std::string text = read_all(file, 0x1000000);
    const std::size_t size = text.size();
    if (size < 0x10000 || size > 0x1000000 || (size & (size - 1)))
        refuse(file + ": " + std::to_string(size) + " bytes is no flash image (a power of two from 64 KiB to 16 MiB)",
               "reading " + file);
    return {text.begin(), text.end()};
}

void parse_flash(request& r, const command_words& w)
{
    if (w.size() < 2)
        refuse("flash: usage: ravelinctl flash id | read FILE | verify FILE");
    if (w[1] == "id") {
        w.expect(2, "flash id");
        r.what = command::flash_id;
    } else if (w[1] == "read" || w[1] == "verify") {
        w.expect(3, "flash " + w[1] + " FILE");
        r.file = w[2];
        if (r.file.empty())
            refuse("flash " + w[1] + ": the file name is empty");
        r.what = w[1] == "read" ? command::flash_read : command::flash_verify;
        if (r.what == command::flash_verify)
            r.verify_image = flash_image(r.file);
    } else {
        refuse("flash: \"" + w[1] + "\" is none of id, read, verify (the flash is never written)");
    }
}

constexpr struct {
    const char* name;
    void (*parse)(request&, const command_words&);
} commands[] = {
    {"list", parse_list}, {"status", parse_status}, {"set", parse_set},     {"mute", parse_mute},
    {"name", parse_name}, {"reset", parse_reset},   {"apply", parse_apply}, {"diff", parse_apply},
    {"flash", parse_flash},
    {"metrics", [](request& r, const command_words& w) { parse_metrics(r, w.words); }},
    {"configure", [](request& r, const command_words& w) { parse_configure(r, w.words); }},
};

}  // namespace

request parse_command_line(int argc, char** argv)
{
    request r;
    bool help = false, version = false;
    const std::vector<std::string> words = take_globals(argc, argv, r, help, version);
    const bool help_command = !words.empty() && words[0] == "help";
    if (help || version || help_command) {
        r.what = help || help_command ? command::help : command::version;
        const std::size_t topic = help_command ? 1 : 0;
        if (r.what == command::help && words.size() > topic) {
            r.help_topic = words[topic];
            if (std::none_of(std::begin(commands), std::end(commands),
                             [&](const auto& c) { return r.help_topic == c.name; }))
                refuse("help: unknown command \"" + r.help_topic + "\"; see --help");
        }
        return r;
    }
    if (r.mac && r.adapter_given)
        refuse("--mac picks the adapter: give either --mac or -a");
    if (words.empty()) {
        std::string names;
        for (const auto& c : commands)
            names += std::string(names.empty() ? "" : ", ") + c.name;
        refuse("no command (" + names + "); see --help");
    }
    const std::string& c = words[0];
    if (c.size() > 1 && c[0] == '-')
        refuse("unknown option " + c + "; see --help");
    for (const auto& known : commands)
        if (c == known.name) {
            known.parse(r, command_words{words});
            return r;
        }
    refuse("unknown command \"" + c + "\"; see --help");
}

namespace {

using complaint = std::function<void(const std::string&)>;

// "436166e9" gives the bytes; nothing for any other text.
std::optional<std::string> bytes_of_hex(const std::string& hex)
{
    if (hex.size() % 2)
        return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        auto digit = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
        const int hi = digit(hex[i]), lo = digit(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        bytes += char(hi << 4 | lo);
    }
    return bytes;
}

// The "output" of a description; none for mode "none", which leaves the output alone.
std::optional<output_config> parse_output(const nlohmann::json& value, const complaint& bad)
{
    if (!value.is_object() || !value.contains("mode") || !value["mode"].is_string())
        bad("\"output\" must be an object with a \"mode\"");
    const std::string mode = value["mode"];
    auto integer = [&](const char* k, int min, int max) {
        if (!value.contains(k))
            bad(std::string("output mode ") + mode + " needs \"" + k + "\"");
        const auto& v = value[k];
        if (!v.is_number_integer() || v.get<long long>() < min || v.get<long long>() > max)
            bad(std::string("output \"") + k + "\" must be a whole number from " + std::to_string(min) + " to " +
                std::to_string(max));
        return int(v.get<long long>());
    };
    auto allowed = [&](std::initializer_list<const char*> keys) {
        for (const auto& item : value.items())
            if (std::none_of(keys.begin(), keys.end(), [&](const char* k) { return item.key() == k; }))
                bad("output mode " + mode + ": unknown key \"" + item.key() + "\"");
    };
    output_config o;
    if (mode == "auto") {
        allowed({"mode"});
        o.mode = output_mode::automatic;
    } else if (mode == "preset") {
        allowed({"mode", "preset", "name"});
        o.mode = output_mode::preset;
        o.preset = integer("preset", 1, int(preset_names().size()));
        if (value.contains("name") && (!value["name"].is_string() || value["name"] != preset_names()[o.preset - 1]))
            bad("output preset " + std::to_string(o.preset) + " is named \"" + preset_names()[o.preset - 1] +
                "\", not " + value["name"].dump());
    } else if (mode == "advanced") {
        allowed({"mode", "profile", "level", "width", "height", "bitrate", "frame_rate", "consistent"});
        if (value.contains("consistent") && value["consistent"] != false)
            bad("output \"consistent\" is only ever false");
        advanced_settings a;
        if (!value.contains("profile") || !value["profile"].is_string() ||
            (value["profile"] != "high" && value["profile"] != "main"))
            bad("output \"profile\" must be \"high\" or \"main\"");
        a.main_profile = value["profile"] == "main";
        a.level = integer("level", levels[0], levels[std::size(levels) - 1]);
        if (!is_level(a.level))
            bad("output \"level\" must be one of " + levels_text());
        a.width = integer("width", width_min, width_max);
        a.height = integer("height", height_min, height_max);
        a.bitrate = integer("bitrate", bitrate_min, bitrate_max);
        a.frame_rate = integer("frame_rate", frame_rate_min, frame_rate_max);
        o = advanced_output(a);
    } else if (mode == "none") {
        allowed({"mode", "invalid_preset"});
        if (value.contains("invalid_preset"))
            integer("invalid_preset", int(preset_names().size()) + 1, 255);
        return std::nullopt;
    } else {
        bad("output mode \"" + mode + "\" is none of auto, preset, advanced, none");
    }
    return o;
}

}  // namespace

wanted_config parse_description(const nlohmann::json& j, const std::string& source)
{
    const std::string step = "reading " + source;
    const complaint bad = [&](const std::string& message) { refuse(source + ": " + message, step); };
    if (!j.is_object())
        bad("not a JSON object as status --json prints it");
    wanted_config w;
    std::optional<std::string> name_bytes;
    for (const auto& [key, value] : j.items()) {
        // The card is picked on the command line, its MAC is never written and
        // its input is not a setting: these are looked at for their form only.
        if (key == "adapter" || key == "frontend") {
            if (!value.is_number_unsigned() || value.get<unsigned long long>() > node_max)
                bad("\"" + key + "\" must be a whole number from 0 to " + std::to_string(node_max));
        } else if (key == "mac") {
            if (!value.is_string() || !parse_mac(value.get<std::string>()))
                bad("\"mac\" must be a MAC address like \"00:1a:2b:3c:4d:5e\"");
        } else if (key == "input") {
            if (!value.is_object())
                bad("\"input\" must be an object");
        } else if (key == "mute") {
            if (!value.is_boolean())
                bad("\"mute\" must be true or false");
            w.mute = value.get<bool>();
        } else if (key == "program_name") {
            if (!value.is_string())
                bad("\"program_name\" must be a string");
            w.program_name = value.get<std::string>();
        } else if (key == "program_name_hex") {
            if (!value.is_string() || !(name_bytes = bytes_of_hex(value.get<std::string>())))
                bad("\"program_name_hex\" must be the name's bytes, two lower-case hex digits each");
        } else if (key == "output") {
            if (auto o = parse_output(value, bad))
                w.output = *o;
        } else {
            bad("unknown key \"" + key + "\"");
        }
    }
    // The bytes themselves, where the text could not hold them.
    if (name_bytes) {
        if (w.program_name && *w.program_name != shown_name(*name_bytes))
            bad("\"program_name\" and \"program_name_hex\" name different bytes");
        w.program_name = name_bytes;
    }
    if (w.program_name)
        check_name(*w.program_name, step);
    return w;
}

}  // namespace ctl
