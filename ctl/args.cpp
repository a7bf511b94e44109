// SPDX-License-Identifier: GPL-2.0-or-later
// The values ravelinctl takes (numbers, MAC addresses, presets, advanced
// settings, program names) and the description that apply takes: all of it
// is checked here, before any node is opened.
#include "ravelinctl.h"

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

namespace ctl {

namespace {

[[noreturn]] void refuse(const std::string& message, const std::string& step = parsing_step)
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

output_config advanced_output(advanced_settings a)
{
    output_config o;
    o.mode = output_mode::advanced;
    o.advanced = a;
    return o;
}

}  // namespace

std::string levels_text()
{
    std::string t;
    for (int l : levels)
        t += (t.empty() ? "" : "|") + std::to_string(l);
    return t;
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

std::string source_of(const std::string& file) { return file == "-" ? "standard input" : file; }

// The whole file, or refused when it holds more than `limit` bytes.
std::string read_all(const std::string& file, std::size_t limit)
{
    const std::string source = source_of(file);
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

std::string advanced_usage()
{
    auto range = [](int min, int max) { return std::to_string(min) + "-" + std::to_string(max); };
    return "  set advanced --profile high|main --level " + levels_text() + "\n" +
           "               --width " + range(width_min, width_max) + " --height " + range(height_min, height_max) +
           " --bitrate " + range(bitrate_min, bitrate_max) + " (kbit/s)\n" +
           "               --frame-rate " + range(frame_rate_min, frame_rate_max) + "\n";
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

namespace {

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

wanted_config description_of(const std::string& text, const std::string& source)
{
    return parse_description(parse_json(text, source), source);
}

wanted_config read_description(const std::string& file)
{
    return description_of(read_all(file, description_max), source_of(file));
}

}  // namespace ctl
