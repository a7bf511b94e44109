// SPDX-License-Identifier: GPL-2.0-or-later
// The table of ravelinctl's commands, the options of the whole run, and the
// help made from them. A command is its row here and its own file.
#include "commands.h"

#include <algorithm>
#include <cstring>

namespace ctl {

// The rows, each defined in its command's file.
extern const command_row list_command, status_command, set_command, mute_command, name_command,
    reset_command, apply_command, diff_command, flash_command, metrics_command, configure_command;

const std::vector<const command_row*>& command_table()
{
    static const std::vector<const command_row*> table = {
        &list_command,  &status_command, &set_command,   &mute_command,    &name_command,      &reset_command,
        &apply_command, &diff_command,   &flash_command, &metrics_command, &configure_command,
    };
    return table;
}

void refuse_usage(const std::string& message) { throw failure(exit_usage, parsing_step, message); }

void command_words::expect(std::size_t count, const std::string& usage) const
{
    if (words.size() != count)
        refuse_usage(words[0] + ": usage: ravelinctl " + usage);
}

void command_words::no_options(std::size_t from) const
{
    for (std::size_t i = from; i < words.size(); ++i)
        if (words[i].size() > 1 && words[i][0] == '-')
            refuse_usage("unknown option " + words[i] + "; see --help");
}

bool command_words::option(std::size_t& i, const std::string& name, std::string& value) const
{
    const std::string& w = words[i];
    if (w.compare(0, name.size() + 3, "--" + name + "=") == 0) {
        value = w.substr(name.size() + 3);
    } else if (w == "--" + name) {
        if (i + 1 == words.size())
            refuse_usage(words[0] + ": option --" + name + " needs a value");
        value = words[++i];
    } else {
        return false;
    }
    if (value.empty())
        refuse_usage(words[0] + ": option --" + name + " is empty");
    ++i;
    return true;
}

namespace {

constexpr int node_max = 255;

std::string help_text()
{
    std::string commands;
    for (const command_row* c : command_table())
        commands += c->help();
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
           "Commands:\n" +
           commands +
           "\n"
           "A stored preset outside 1-7 reads as output mode \"none\" (in JSON with\n"
           "\"invalid_preset\"); set preset writes over it.\n"
           "\n"
           "Exit status: 0 done, or nothing to do; 1 the card did not do what was asked\n"
           "(standard error names the step), or diff or flash verify found a difference;\n"
           "2 bad usage or input, refused before anything is sent to the card; 3 the node\n"
           "cannot be used (missing, permission, busy).\n";
}

const command_row* find_command(const std::string& name)
{
    for (const command_row* c : command_table())
        if (name == c->name)
            return c;
    return nullptr;
}

// The text of the help or of one command's (help COMMAND, COMMAND --help).
int run_help(const request& r, record& out)
{
    std::string text = help_text();
    if (!r.help_topic.empty())
        text = "Usage: ravelinctl [OPTIONS] " + r.help_topic + " ...\n" + find_command(r.help_topic)->help() +
               "\nThe options and the exit status: ravelinctl --help\n";
    out.add({{"help", text}}, text.substr(0, text.size() - 1));
    return exit_done;
}

int run_version(const request&, record& out)
{
    out.add({{"version", RAVELIN_VERSION}}, std::string("ravelinctl ") + RAVELIN_VERSION);
    return exit_done;
}

// The options of the whole run, wherever they stand before "--".
struct global_option {
    const char* long_name;
    char short_name;
    bool takes_value;
    void (*take)(request& r, const std::string& value, bool& help, bool& version);
    int bare_value = -1;  // >= 0: a value only after "=", this one without
};

const global_option globals[] = {
    {"adapter", 'a', true,
     [](request& r, const std::string& value, bool&, bool&) {
         if (r.adapter_given)
             refuse_usage("-a given twice");
         r.adapter = parse_number(value, 0, node_max, "-a (adapter)");
         r.adapter_given = true;
     }},
    {"frontend", 'n', true,
     [](request& r, const std::string& value, bool&, bool&) {
         if (r.frontend_given)
             refuse_usage("-n given twice");
         r.frontend = parse_number(value, 0, node_max, "-n (frontend)");
         r.frontend_given = true;
     }},
    {"mac", 0, true,
     [](request& r, const std::string& value, bool&, bool&) {
         r.mac = parse_mac(value);
         if (!r.mac)
             refuse_usage("--mac: \"" + value + "\" is not a MAC address like 00:1a:2b:3c:4d:5e");
     }},
    {"json", 0, false, [](request& r, const std::string&, bool&, bool&) { r.json = true; }},
    {"quiet", 0, false, [](request& r, const std::string&, bool&, bool&) { r.quiet = true; }},
    {"force", 0, false, [](request& r, const std::string&, bool&, bool&) { r.force = true; }},
    {"help", 'h', false, [](request&, const std::string&, bool& help, bool&) { help = true; }},
    {"version", 0, false, [](request&, const std::string&, bool&, bool& version) { version = true; }},
    {"wait", 0, false,
     [](request& r, const std::string& value, bool&, bool&) {
         if (r.wait_given)
             refuse_usage("--wait given twice");
         r.wait_seconds = parse_number(value, 0, wait_max_seconds, "--wait");
         r.wait_given = true;
     },
     wait_default_seconds},
};

// "--name", "--name=value", "-x" or "-xvalue": the option and its value, if any.
const global_option* option_of(const std::string& arg, std::string& value, bool& has_value)
{
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
                return &o;
        return nullptr;
    }
    for (const auto& o : globals)
        if (o.short_name && arg[1] == o.short_name) {
            if (arg.size() == 2)
                return &o;
            if (!o.takes_value)
                return nullptr;
            value = arg.substr(2);
            has_value = true;
            return &o;
        }
    return nullptr;
}

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
        std::string value;
        bool has_value = false;
        const global_option* found = option_of(arg, value, has_value);
        if (!found) {
            // The settings of set advanced are its own words.
            words.push_back(arg);
            continue;
        }
        if (found->takes_value && !has_value) {
            if (i + 1 == argc)
                refuse_usage("option " + arg + " needs a value");
            value = argv[++i];
        } else if (!found->takes_value && found->bare_value >= 0 && !has_value) {
            value = std::to_string(found->bare_value);
        } else if (!found->takes_value && has_value && found->bare_value < 0) {
            refuse_usage("option --" + std::string(found->long_name) + " takes no value");
        }
        found->take(r, value, help, version);
    }
    return words;
}

const command_row help_row = {"help", nullptr, nullptr, run_help};
const command_row version_row = {"version", nullptr, nullptr, run_version};

}  // namespace

request parse_command_line(int argc, char** argv)
{
    request r;
    bool help = false, version = false;
    const std::vector<std::string> words = take_globals(argc, argv, r, help, version);
    const bool help_word = !words.empty() && words[0] == "help";
    if (help || version || help_word) {
        r.what = help || help_word ? &help_row : &version_row;
        const std::size_t topic = help_word ? 1 : 0;
        if (r.what == &help_row && words.size() > topic) {
            r.help_topic = words[topic];
            if (!find_command(r.help_topic))
                refuse_usage("help: unknown command \"" + r.help_topic + "\"; see --help");
        }
        return r;
    }
    if (r.mac && r.adapter_given)
        refuse_usage("--mac picks the adapter: give either --mac or -a");
    if (words.empty()) {
        std::string names;
        for (const command_row* c : command_table())
            names += std::string(names.empty() ? "" : ", ") + c->name;
        refuse_usage("no command (" + names + "); see --help");
    }
    const std::string& c = words[0];
    if (c.size() > 1 && c[0] == '-')
        refuse_usage("unknown option " + c + "; see --help");
    r.what = find_command(c);
    if (!r.what)
        refuse_usage("unknown command \"" + c + "\"; see --help");
    r.what->parse(r, command_words{words});
    return r;
}

}  // namespace ctl
