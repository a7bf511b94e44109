// SPDX-License-Identifier: GPL-2.0-or-later
// The commands for a machine's cards as a whole: their words, and configure,
// which makes the card on one node match what the configuration folder holds
// for it (run by the udev rule's unit when the node appears).
#include "rack.h"

#include <cstdio>

namespace ctl {

namespace {

[[noreturn]] void refuse(const std::string& message)
{
    throw failure(exit_usage, "parsing the command line", message);
}

// --NAME VALUE or --NAME=VALUE at words[i]; advances i past it.
bool option(const std::vector<std::string>& words, std::size_t& i, const std::string& name, std::string& value)
{
    const std::string& w = words[i];
    if (w.compare(0, name.size() + 3, "--" + name + "=") == 0) {
        value = w.substr(name.size() + 3);
    } else if (w == "--" + name) {
        if (i + 1 == words.size())
            refuse(words[0] + ": option --" + name + " needs a value");
        value = words[++i];
    } else {
        return false;
    }
    if (value.empty())
        refuse(words[0] + ": option --" + name + " is empty");
    ++i;
    return true;
}

// /dev/dvb/adapterA/frontendF, as the unit gets it from its instance name.
std::pair<int, int> node_of_path(const std::string& path)
{
    const std::string a = "/dev/dvb/adapter", f = "/frontend";
    const auto slash = path.find(f, a.size());
    if (path.compare(0, a.size(), a) != 0 || slash == std::string::npos)
        refuse("configure: \"" + path + "\" is not a node /dev/dvb/adapterA/frontendF");
    return {parse_number(path.substr(a.size(), slash - a.size()), 0, 255, "adapter"),
            parse_number(path.substr(slash + f.size()), 0, 255, "frontend")};
}

}  // namespace

void parse_metrics(request& r, const std::vector<std::string>& words)
{
    r.what = command::metrics;
    r.config_dir = default_config_dir;
    for (std::size_t i = 1; i < words.size();)
        if (!option(words, i, "config", r.config_dir) && !option(words, i, "output", r.file))
            refuse("metrics: usage: ravelinctl metrics [--config DIR] [--output FILE]");
    if (r.mac || r.adapter_given || r.frontend_given)
        refuse("metrics looks at every node: -a, -n and --mac do not apply");
    if (r.json || r.force)
        refuse("metrics prints Prometheus's text format: --json and --force do not apply");
    if (r.wait_given)
        refuse("metrics waits for no node, it reports which are busy: --wait does not apply");
}

void parse_configure(request& r, const std::vector<std::string>& words)
{
    r.what = command::configure;
    r.config_dir = default_config_dir;
    std::string node;
    for (std::size_t i = 1; i < words.size();) {
        if (option(words, i, "config", r.config_dir))
            continue;
        if (!node.empty() || (words[i].size() > 1 && words[i][0] == '-'))
            refuse("configure: usage: ravelinctl configure [--config DIR] [NODE]");
        node = words[i++];
    }
    if (!node.empty()) {
        if (r.mac || r.adapter_given || r.frontend_given)
            refuse("configure: give the node either as NODE or with -a, -n, --mac");
        std::tie(r.adapter, r.frontend) = node_of_path(node);
        r.adapter_given = r.frontend_given = true;
    }
}

const card_config* configured(card_session& s, const config_folder& folder, mac_address& mac)
{
    mac = read_mac(s);
    return folder.find(mac, s.adapter(), s.frontend());
}

void print_unconfigured(const request& r, const config_folder& folder, int adapter, int frontend,
                        const std::optional<mac_address>& mac)
{
    if (r.json) {
        print_changes(r, adapter, frontend, {}, {});
    } else if (!r.quiet) {
        std::printf("%s holds no configuration for %s%s: nothing to do\n", folder.dir.c_str(),
                    mac ? ("MAC " + mac_text(*mac) + " or ").c_str() : "",
                    ("adapter" + std::to_string(adapter) + "-frontend" + std::to_string(frontend)).c_str());
    }
}

}  // namespace ctl
