// SPDX-License-Identifier: GPL-2.0-or-later
// configure: makes the card on one node match what the configuration folder
// holds for it (run by the udev rule's unit when the node appears).
#include "commands.h"
#include "rack.h"

#include <tuple>

namespace ctl {

namespace {

// /dev/dvb/adapterA/frontendF, as the unit gets it from its instance name.
std::pair<int, int> node_of_path(const std::string& path)
{
    const std::string a = "/dev/dvb/adapter", f = "/frontend";
    const auto slash = path.find(f, a.size());
    if (path.compare(0, a.size(), a) != 0 || slash == std::string::npos)
        refuse_usage("configure: \"" + path + "\" is not a node /dev/dvb/adapterA/frontendF");
    return {parse_number(path.substr(a.size(), slash - a.size()), 0, 255, "adapter"),
            parse_number(path.substr(slash + f.size()), 0, 255, "frontend")};
}

void parse_configure(request& r, const command_words& w)
{
    r.config_dir = default_config_dir;
    std::string node;
    for (std::size_t i = 1; i < w.size();) {
        if (w.option(i, "config", r.config_dir))
            continue;
        if (!node.empty() || (w[i].size() > 1 && w[i][0] == '-'))
            refuse_usage("configure: usage: ravelinctl configure [--config DIR] [NODE]");
        node = w[i++];
    }
    if (!node.empty()) {
        if (r.mac || r.adapter_given || r.frontend_given)
            refuse_usage("configure: give the node either as NODE or with -a, -n, --mac");
        std::tie(r.adapter, r.frontend) = node_of_path(node);
        r.adapter_given = r.frontend_given = true;
    }
}

// Nothing to do: the folder holds no description for the node (mac: the
// card's, when it was read).
int unconfigured(record& out, const config_folder& folder, int adapter, int frontend,
                 const std::optional<mac_address>& mac)
{
    record_changes(out, adapter, frontend, {}, {});
    out.line(folder.dir + " holds no configuration for " + (mac ? "MAC " + mac_text(*mac) + " or " : "") +
                 "adapter" + std::to_string(adapter) + "-frontend" + std::to_string(frontend) + ": nothing to do",
             record::unless_quiet);
    return exit_done;
}

int run_configure(const request& r, record& out)
{
    // A broken folder is refused before the card is touched.
    const config_folder folder = read_config_folder(r.config_dir);
    const auto [adapter, frontend] = node_of(r);
    if (!folder.may_name(adapter, frontend))
        return unconfigured(out, folder, adapter, frontend, std::nullopt);
    card_session s(r, {adapter, frontend});
    s.open_and_identify();
    const mac_address mac = read_mac(s);
    const card_config* c = folder.find(mac, adapter, frontend);
    if (!c)
        return unconfigured(out, folder, adapter, frontend, mac);
    record_changes(out, adapter, frontend, apply_logged(s, c->want, r.force, mac, c->file), settings_of(c->want));
    return exit_done;
}

}  // namespace

extern const command_row configure_command = {
    "configure",
    [] {
        return std::string("  configure [--config DIR] [NODE]\n"
                           "                          apply to the card its description in DIR (default\n"
                           "                          /etc/ravelin): 00-1a-2b-3c-4d-5e.json for its MAC,\n"
                           "                          else adapterA-frontendF.json for its place; NODE is\n"
                           "                          /dev/dvb/adapterA/frontendF\n");
    },
    parse_configure, run_configure};

}  // namespace ctl
