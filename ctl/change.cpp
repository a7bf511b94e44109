// SPDX-License-Identifier: GPL-2.0-or-later
// The commands that change the card: set, mute, name, apply, and reset.
// Each writes only what the card does not already store (all of it with
// --force), reads it back, and leaves its trail in the system log.
#include "commands.h"
#include "rack.h"

#include <algorithm>

namespace ctl {

void record_changes(record& out, int adapter, int frontend, const std::vector<std::string>& written,
                    const std::vector<std::string>& considered)
{
    out.node(adapter, frontend);
    out.add({{"changed", !written.empty()}, {"written", written}});
    for (const auto& what : considered) {
        const bool w = std::find(written.begin(), written.end(), what) != written.end();
        out.line((what == "program_name" ? "program name" : what) + ": " + (w ? "changed" : "unchanged"),
                 record::unless_quiet);
    }
}

namespace {

// set, mute, name and apply: the settings of the request, made so on the card.
int run_change(const request& r, record& out)
{
    card_session s(r);
    s.open_and_identify();
    const std::string source = r.file.empty() ? "" : source_of(r.file);
    record_changes(out, s.adapter(), s.frontend(), apply_logged(s, r.want, r.force, std::nullopt, source),
                   settings_of(r.want));
    return exit_done;
}

void parse_set(request& r, const command_words& w)
{
    if (w.size() < 2)
        refuse_usage("set: usage: ravelinctl set auto | preset N|NAME | advanced SETTINGS");
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
        refuse_usage("set: \"" + w[1] + "\" is none of auto, preset, advanced");
    }
    r.want.output = o;
}

std::string set_help()
{
    std::string presets;
    const auto& names = preset_names();
    for (std::size_t i = 0; i < names.size(); ++i)
        presets += (i ? ", " : "") + std::to_string(i + 1) + " " + names[i];
    return "  set auto                output format follows the input\n"
           "  set preset N|NAME       quality preset 1-7 or its name:\n"
           "                          " +
           presets +
           "\n" + advanced_usage() +
           "                          all six are needed, as --name VALUE or --name=VALUE\n";
}

void parse_mute(request& r, const command_words& w)
{
    w.no_options(1);
    w.expect(2, "mute on|off");
    if (w[1] != "on" && w[1] != "off")
        refuse_usage("mute: \"" + w[1] + "\" is neither on nor off");
    r.want.mute = w[1] == "on";
}

void parse_name(request& r, const command_words& w)
{
    w.expect(2, "name TEXT");
    r.want.program_name = check_name(w[1], parsing_step);
}

void parse_apply(request& r, const command_words& w)
{
    w.expect(2, "apply FILE|-");
    r.file = w[1];
    r.want = read_description(r.file);
}

void parse_reset(request& r, const command_words& w)
{
    w.no_options(1);
    w.expect(2, "reset capture|mcu");
    if (w[1] != "capture" && w[1] != "mcu")
        refuse_usage("reset: \"" + w[1] + "\" is neither capture nor mcu");
    r.reset_mcu = w[1] == "mcu";
}

int run_reset(const request& r, record& out)
{
    card_session s(r);
    s.open_and_identify();
    const int rounds = reset_logged(s, r.reset_mcu);
    out.node(s.adapter(), s.frontend());
    out.add({{"changed", true}, {"reset", r.reset_mcu ? "mcu" : "capture"}, {"busy_rounds", rounds}},
            std::string(r.reset_mcu ? "microcontroller" : "capture") + " reset: ready", record::unless_quiet);
    return exit_done;
}

}  // namespace

extern const command_row set_command = {"set", set_help, parse_set, run_change};

extern const command_row mute_command = {
    "mute", [] { return std::string("  mute on|off             mute the output, or not\n"); }, parse_mute,
    run_change};

extern const command_row name_command = {
    "name",
    [] {
        return std::string("  name TEXT               program name, at most 160 bytes (\"\" clears it;\n"
                           "                          \"name -- TEXT\" for a name that starts with -)\n");
    },
    parse_name, run_change};

extern const command_row reset_command = {
    "reset",
    [] {
        return std::string("  reset capture|mcu       restart the capture logic or the microcontroller and\n"
                           "                          wait until the card is ready (up to 200 s)\n");
    },
    parse_reset, run_reset};

extern const command_row apply_command = {
    "apply",
    [] {
        return std::string("  apply FILE|-            make the card match FILE (- standard input), written\n"
                           "                          as \"status --json\" prints it: only what differs is\n"
                           "                          written; adapter, frontend, mac and input are not\n"
                           "                          looked at, a missing key leaves its setting alone,\n"
                           "                          output mode \"none\" leaves the output alone\n");
    },
    parse_apply, run_change};

}  // namespace ctl
