// SPDX-License-Identifier: GPL-2.0-or-later
// list and status: what the nodes are, and what the card on one of them
// reports and stores. Neither writes anything.
#include "commands.h"

namespace ctl {

namespace {

const char* kind_name(node_kind k)
{
    switch (k) {
    case node_kind::card: return "card";
    case node_kind::other: return "other";
    case node_kind::unusable: return "unusable";
    }
    return "other";
}

void parse_list(request& r, const command_words& w)
{
    w.no_options(1);
    w.expect(1, "list");
    if (r.mac || r.adapter_given || r.frontend_given)
        refuse_usage("list looks at every node: -a, -n and --mac do not apply");
    if (r.wait_given)
        refuse_usage("list waits for no node, it says which are busy: --wait does not apply");
}

std::string node_line(const node_info& n)
{
    const std::string head = n.path + ": adapter " + std::to_string(n.adapter) + ", frontend " +
                             std::to_string(n.frontend) + ", ";
    switch (n.kind) {
    case node_kind::card: return head + "this card, MAC " + mac_text(n.mac);
    case node_kind::other: return head + "not this card";
    case node_kind::unusable: break;
    }
    return head + "not usable: " + n.error + (n.fix.empty() ? "" : "; ") + n.fix;
}

int run_list(const request&, record& out)
{
    const std::vector<node_info> nodes = list_nodes();
    out.add({{"nodes", nlohmann::ordered_json::array()}});
    for (const auto& n : nodes) {
        nlohmann::ordered_json j{{"adapter", n.adapter}, {"frontend", n.frontend}, {"path", n.path},
                                 {"kind", kind_name(n.kind)}};
        if (n.kind == node_kind::card)
            j["mac"] = mac_text(n.mac);
        if (n.kind == node_kind::unusable) {
            j["error"] = n.error;
            j["fix"] = n.fix;
        }
        out.item("nodes", j, node_line(n));
    }
    if (nodes.empty())
        out.line("no frontend nodes", record::unless_quiet);
    return exit_done;
}

void parse_status(request&, const command_words& w)
{
    w.no_options(1);
    w.expect(1, "status");
}

int run_status(const request& r, record& out)
{
    card_session session(r);
    session.open_and_identify();
    const card_status s = session.read_status();
    const nlohmann::ordered_json j = status_json(s);
    const input_format& in = s.input;
    out.node(session.adapter(), session.frontend(),
             "adapter " + std::to_string(session.adapter()) + ", frontend " + std::to_string(session.frontend()));
    out.add({{"mac", j["mac"]}}, "mac: " + mac_text(s.mac));
    out.add({{"input", j["input"]}},
            in.signal() ? "input: " + std::to_string(in.width) + "x" + std::to_string(in.height) + ", rate " +
                              std::to_string(in.rate) + ", " + (in.progressive ? "progressive" : "interlaced")
                        : "input: no signal");
    out.add({{"output", j["output"]}}, "output: " + output_text(s.output));
    out.add({{"mute", s.mute}}, std::string("mute: ") + (s.mute ? "on" : "off"));
    nlohmann::ordered_json name{{"program_name", j["program_name"]}};
    std::string line = "program name: " + j["program_name"].dump();
    if (j.contains("program_name_hex")) {
        name["program_name_hex"] = j["program_name_hex"];
        line += " (not UTF-8: bytes " + hex_of(s.program_name) + ")";
    }
    out.add(name, line);
    return exit_done;
}

}  // namespace

extern const command_row list_command = {
    "list",
    [] { return std::string("  list                    every /dev/dvb/adapter*/frontend* node and what it is\n"); },
    parse_list, run_list};

extern const command_row status_command = {
    "status",
    [] {
        return std::string("  status                  input signal, stored output format, mute, program name\n"
                           "                          and MAC address, all read from the card\n");
    },
    parse_status, run_status};

}  // namespace ctl
