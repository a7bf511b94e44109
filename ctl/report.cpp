// SPDX-License-Identifier: GPL-2.0-or-later
// What ravelinctl prints: the text for people and, with --json, one JSON
// object per run on standard output, built with nlohmann::json.
//
// JSON shapes (docs/ holds the schema; keep both in step). Integers are JSON
// numbers without fraction, booleans true/false, strings UTF-8.
//
// Every card command (status, set, mute, name, reset, apply, flash) starts with
//   "adapter": int, "frontend": int      the node used (also when picked by --mac)
//
// status
//   "mac": string "00:1a:2b:3c:4d:5e" (lower-case hex, colons)
//   "input": { "width": int, "height": int, "rate": int (the card's frequency
//              code, as ravelins -i prints it), "progressive": bool }
//   "output": one of
//     { "mode": "auto" }
//     { "mode": "preset", "preset": int 1-7, "name": string (super, ultra,
//       excellent, good, fair, poor, mobile) }
//     { "mode": "advanced", "profile": "high" | "main", "level": int (the
//       stored code, 30 31 32 40 41 42 when set by the programs), "width": int,
//       "height": int, "bitrate": int (kbit/s), "frame_rate": int,
//       "consistent": false  -- only present when the eleven stored entries
//                               are not what these values store }
//     { "mode": "none" }                    nothing usable is stored
//     { "mode": "none", "invalid_preset": int 8-255 }
//                                           a preset outside 1-7 is stored
//   "mute": bool
//   "program_name": string (the stored bytes as UTF-8; bytes that are not
//                   UTF-8 are read as Latin-1)
//
// set auto|preset|advanced, mute, name, apply
//   "changed": bool                     whether anything was written
//   "written": [string, ...]            what was written, in order, of
//                                       "output", "mute", "program_name";
//                                       empty when unchanged. Every write is
//                                       read back and compared before exit 0.
//
// reset capture|mcu
//   "changed": true
//   "reset": "capture" | "mcu"
//   "busy_rounds": int                  2-second rounds the card stayed busy (0-99)
//
// flash id
//   "manufacturer": int, "type": int, "capacity": int   (the three JEDEC bytes)
//   "version": [int, int, int, int]     the controller's four version bytes
//   "known": bool                       one of the flashes the card is built with
//   "size": int                         bytes, 2^capacity; 0 when not 64 KiB-16 MiB
//
// flash read FILE / flash verify FILE
//   "file": string, "size": int (bytes read from the flash)
//   verify also: "identical": bool, and when false
//   "first_difference": int (byte offset)
//
// list (no adapter/frontend at the top)
//   "nodes": [ { "adapter": int, "frontend": int, "path": string,
//                "kind": "card" | "other" | "unusable",
//                "mac": string            (kind "card" only),
//                "error": string, "fix": string   (kind "unusable" only;
//                                         fix may be "") } ... ]
//
// Errors (any command, exit status 1, 2 or 3): instead of the above
//   { "error": string, "step": string, "exit": int }
//   step names what was being done ("parsing the command line",
//   "opening /dev/dvb/adapter0/frontend0", "reading EEPROM 20-22",
//   "storing the output mode", ...). Nothing else is printed on stdout.
#include "ravelinctl.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace ctl {

namespace {

using json = nlohmann::ordered_json;

const char* profile_name(const advanced_settings& a)
{
    return zeb_encoder::profile_names[a.main_profile ? zeb_encoder::profile_main : zeb_encoder::profile_high];
}

bool valid_utf8(const std::string& s)
{
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = s[i];
        const int more = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (more < 0 || i + more >= s.size() + (more == 0))
            return false;
        for (int k = 1; k <= more; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2)
                return false;
        i += 1 + more;
    }
    return true;
}

// The stored bytes as text: UTF-8 as it stands, anything else as Latin-1
// (what the window program stores).
std::string name_text(const std::string& bytes)
{
    if (valid_utf8(bytes))
        return bytes;
    std::string t;
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            t += char(c);
        } else {
            t += char(0xc0 | c >> 6);
            t += char(0x80 | (c & 0x3f));
        }
    }
    return t;
}

json node_json(int adapter, int frontend)
{
    return json{{"adapter", adapter}, {"frontend", frontend}};
}

json output_json(const output_config& o)
{
    json j;
    switch (o.mode) {
    case output_mode::automatic:
        j["mode"] = "auto";
        break;
    case output_mode::preset:
        j["mode"] = "preset";
        j["preset"] = o.preset;
        j["name"] = preset_names()[o.preset - 1];
        break;
    case output_mode::advanced: {
        const advanced_settings& a = o.advanced;
        j["mode"] = "advanced";
        j["profile"] = profile_name(a);
        j["level"] = a.level;
        j["width"] = a.width;
        j["height"] = a.height;
        j["bitrate"] = a.bitrate;
        j["frame_rate"] = a.frame_rate;
        if (!o.consistent)
            j["consistent"] = false;
        break;
    }
    case output_mode::none:
        j["mode"] = "none";
        if (o.invalid_preset)
            j["invalid_preset"] = o.invalid_preset;
        break;
    }
    return j;
}

std::string output_text(const output_config& o)
{
    char t[160];
    switch (o.mode) {
    case output_mode::automatic:
        return "auto (the same as the input)";
    case output_mode::preset:
        return "preset " + std::to_string(o.preset) + " (" + preset_names()[o.preset - 1] + ")";
    case output_mode::advanced: {
        const advanced_settings& a = o.advanced;
        std::snprintf(t, sizeof t, "advanced, profile %s, level %d, %dx%d, %d kbit/s, %d fps%s",
                      profile_name(a), a.level, a.width, a.height, a.bitrate, a.frame_rate,
                      o.consistent ? "" : " (the stored entries do not all match these settings)");
        return t;
    }
    case output_mode::none:
        break;
    }
    if (o.invalid_preset)
        return "none (stored preset " + std::to_string(o.invalid_preset) + " is outside 1-7)";
    return "none";
}

const char* kind_name(node_kind k)
{
    switch (k) {
    case node_kind::card: return "card";
    case node_kind::other: return "other";
    case node_kind::unusable: return "unusable";
    }
    return "other";
}

}  // namespace

void print_json(const json& j) { std::cout << j.dump(2) << '\n'; }

json status_json(const card_status& s)
{
    return json{
        {"mac", mac_text(s.mac)},
        {"input",
         {{"width", s.input.width},
          {"height", s.input.height},
          {"rate", s.input.rate},
          {"progressive", s.input.progressive}}},
        {"output", output_json(s.output)},
        {"mute", s.mute},
        {"program_name", name_text(s.program_name)},
    };
}

void print_status(const request& r, int adapter, int frontend, const card_status& s)
{
    if (r.json) {
        json j = node_json(adapter, frontend);
        j.update(status_json(s));
        print_json(j);
        return;
    }
    std::printf("adapter %d, frontend %d\n", adapter, frontend);
    std::printf("mac: %s\n", mac_text(s.mac).c_str());
    std::printf("input: %dx%d, rate %d, %s\n", s.input.width, s.input.height, s.input.rate,
                s.input.progressive ? "progressive" : "interlaced");
    std::printf("output: %s\n", output_text(s.output).c_str());
    std::printf("mute: %s\n", s.mute ? "on" : "off");
    std::printf("program name: %s\n", json(name_text(s.program_name)).dump().c_str());
}

void print_changes(const request& r, int adapter, int frontend, const std::vector<std::string>& written,
                   const std::vector<std::string>& considered)
{
    if (r.json) {
        json j = node_json(adapter, frontend);
        j["changed"] = !written.empty();
        j["written"] = written;
        print_json(j);
        return;
    }
    if (r.quiet)
        return;
    for (const auto& what : considered) {
        const bool w = std::find(written.begin(), written.end(), what) != written.end();
        std::printf("%s: %s\n", what == "program_name" ? "program name" : what.c_str(),
                    w ? "changed" : "unchanged");
    }
}

void print_reset(const request& r, int adapter, int frontend, int busy_rounds)
{
    if (r.json) {
        json j = node_json(adapter, frontend);
        j["changed"] = true;
        j["reset"] = r.reset_mcu ? "mcu" : "capture";
        j["busy_rounds"] = busy_rounds;
        print_json(j);
        return;
    }
    if (!r.quiet)
        std::printf("%s reset: ready\n", r.reset_mcu ? "microcontroller" : "capture");
}

void print_list(const request& r, const std::vector<node_info>& nodes)
{
    if (r.json) {
        json list = json::array();
        for (const auto& n : nodes) {
            json j = node_json(n.adapter, n.frontend);
            j["path"] = n.path;
            j["kind"] = kind_name(n.kind);
            if (n.kind == node_kind::card)
                j["mac"] = mac_text(n.mac);
            if (n.kind == node_kind::unusable) {
                j["error"] = n.error;
                j["fix"] = n.fix;
            }
            list.push_back(j);
        }
        print_json(json{{"nodes", list}});
        return;
    }
    for (const auto& n : nodes) {
        switch (n.kind) {
        case node_kind::card:
            std::printf("%s: adapter %d, frontend %d, this card, MAC %s\n", n.path.c_str(), n.adapter,
                        n.frontend, mac_text(n.mac).c_str());
            break;
        case node_kind::other:
            std::printf("%s: adapter %d, frontend %d, not this card\n", n.path.c_str(), n.adapter, n.frontend);
            break;
        case node_kind::unusable:
            std::printf("%s: adapter %d, frontend %d, not usable: %s%s%s\n", n.path.c_str(), n.adapter,
                        n.frontend, n.error.c_str(), n.fix.empty() ? "" : "; ", n.fix.c_str());
            break;
        }
    }
    if (nodes.empty() && !r.quiet)
        std::printf("no frontend nodes\n");
}

void print_failure(const request& r, const failure& f)
{
    if (r.json)
        print_json(json{{"error", f.what()}, {"step", f.step}, {"exit", f.status}});
    std::fprintf(stderr, "ravelinctl: %s: %s\n", f.step.c_str(), f.what());
}

void print_flash_id(const request& r, int adapter, int frontend, const flash_identity& id)
{
    if (r.json) {
        json j = node_json(adapter, frontend);
        j["manufacturer"] = id.id[0];
        j["type"] = id.id[1];
        j["capacity"] = id.id[2];
        j["version"] = {id.id[3], id.id[4], id.id[5], id.id[6]};
        j["known"] = id.known;
        j["size"] = id.size;
        print_json(j);
        return;
    }
    std::printf("flash: manufacturer 0x%02x, type 0x%02x, capacity 0x%02x (%zu bytes), %s\n", id.id[0], id.id[1],
                id.id[2], id.size, id.known ? "known" : "not one this card is built with");
    std::printf("version: %u.%u.%u.%u\n", id.id[3], id.id[4], id.id[5], id.id[6]);
}

void print_flash_file(const request& r, int adapter, int frontend, std::size_t size, std::optional<long> difference)
{
    if (r.json) {
        json j = node_json(adapter, frontend);
        j["file"] = r.file;
        j["size"] = size;
        if (r.what == command::flash_verify) {
            j["identical"] = *difference < 0;
            if (*difference >= 0)
                j["first_difference"] = *difference;
        }
        print_json(j);
        return;
    }
    if (r.what == command::flash_read) {
        if (!r.quiet)
            std::printf("read %zu bytes of flash into %s\n", size, r.file.c_str());
    } else if (*difference < 0) {
        if (!r.quiet)
            std::printf("flash and %s are identical (%zu bytes)\n", r.file.c_str(), size);
    } else {
        std::printf("flash and %s differ first at byte %ld (0x%lx)\n", r.file.c_str(), *difference,
                    *difference);
    }
}

}  // namespace ctl
