// SPDX-License-Identifier: GPL-2.0-or-later
// The collector: every node's state in Prometheus's text format, for the
// node exporter's textfile folder. What cannot be read is said by a metric
// (up 0, success 0), never left out so that old values would seem current.
#include "commands.h"
#include "rack.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

namespace ctl {

namespace {

using labels = std::vector<std::pair<std::string, std::string>>;

// The families in the order they are written; samples gathered per family,
// since the format wants each family's lines together.
struct family {
    const char* name;
    const char* type;
    const char* help;
    std::vector<std::string> samples = {};
};

std::vector<family> families()
{
    return {
        {"ravelin_card_up", "gauge", "Whether the card on the node answered (1) or could not be read (0)."},
        {"ravelin_card_busy", "gauge", "Whether another program held the node, so it was not read."},
        {"ravelin_node_error_info", "gauge", "Why the node could not be read."},
        {"ravelin_card_info", "gauge", "The card on the node, by MAC address."},
        {"ravelin_input_signal", "gauge", "Whether the card reports an input signal (a width and a height)."},
        {"ravelin_input_info", "gauge", "The format of the input signal, while there is one."},
        {"ravelin_output_info", "gauge", "The stored output configuration, with the keys of status --json's output."},
        {"ravelin_output_muted", "gauge", "Whether the stored mute flag is on."},
        {"ravelin_program_name_info", "gauge", "The stored program name."},
        {"ravelin_config_match", "gauge",
         "Whether the card stores what its description in the configuration folder asks (1) or not (0)."},
        {"ravelin_config_valid", "gauge", "Whether every description in the configuration folder could be read."},
        {"ravelin_collector_errors", "gauge", "Nodes and files the last collection could not read."},
        {"ravelin_collector_success", "gauge", "Whether the last collection read everything it looked at."},
        {"ravelin_collector_duration_seconds", "gauge", "How long the last collection took."},
    };
}

// Valid UTF-8 whatever the bytes: what is not UTF-8 becomes U+FFFD.
std::string utf8(const std::string& bytes)
{
    const std::string quoted = nlohmann::json(bytes).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return nlohmann::json::parse(quoted).get<std::string>();
}

std::string label_value(const std::string& text)
{
    std::string t;
    for (char c : utf8(text)) {
        if (c == '\\' || c == '"')
            t += '\\', t += c;
        else if (c == '\n')
            t += "\\n";
        else
            t += c;
    }
    return t;
}

class exposition {
public:
    exposition() : families_(families()) {}

    void add(const std::string& name, const labels& l, double value)
    {
        std::string line = name;
        if (!l.empty()) {
            line += '{';
            for (std::size_t i = 0; i < l.size(); ++i)
                line += (i ? "," : "") + l[i].first + "=\"" + label_value(l[i].second) + "\"";
            line += '}';
        }
        char v[32];
        std::snprintf(v, sizeof v, value == (long long)value ? "%.0f" : "%.6f", value);
        for (auto& f : families_)
            if (name == f.name)
                f.samples.push_back(line + " " + v + "\n");
    }

    std::string text() const
    {
        std::string t;
        for (const auto& f : families_) {
            if (f.samples.empty())
                continue;
            t += std::string("# HELP ") + f.name + " " + f.help + "\n";
            t += std::string("# TYPE ") + f.name + " " + f.type + "\n";
            for (const auto& s : f.samples)
                t += s;
        }
        return t;
    }

private:
    std::vector<family> families_;
};

labels with(labels l, const labels& more)
{
    l.insert(l.end(), more.begin(), more.end());
    return l;
}

double seconds_now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The output's keys as labels: "name" is the preset's name.
labels output_labels(const labels& node, const card_status& s)
{
    labels l = node;
    const nlohmann::ordered_json output = status_json(s)["output"];
    for (const auto& [key, value] : output.items())
        l.push_back({key == "name" ? "preset_name" : key,
                     value.is_string() ? value.get<std::string>() : value.dump()});
    return l;
}

struct collection {
    exposition out;
    int errors = 0;
    const config_folder* folder = nullptr;
};

void node_failed(collection& c, const labels& node, const std::string& path, const std::string& error)
{
    c.out.add("ravelin_card_up", node, 0);
    c.out.add("ravelin_card_busy", node, 0);
    c.out.add("ravelin_node_error_info", with(node, {{"error", error}}), 1);
    std::cerr << "ravelinctl metrics: " << path << ": " << error << "\n";
    ++c.errors;
}

void collect_card(collection& c, const node_info& n, const labels& node)
{
    // A node another program holds is in use, not broken: it is left alone.
    const int fd = ::open(n.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == EBUSY) {
        c.out.add("ravelin_card_up", node, 0);
        c.out.add("ravelin_card_busy", node, 1);
        return;
    }
    if (fd >= 0)
        close(fd);
    card_status s;
    const card_config* want = nullptr;
    bool match = false;
    try {
        card_session session(n.adapter, n.frontend, false);
        session.open_and_identify();
        s = session.read_status();
        // Found as apply and diff find what they would write.
        if (c.folder && (want = c.folder->find(s.mac, n.adapter, n.frontend)))
            match = session.differences(want->want).empty();
    } catch (const failure& f) {
        node_failed(c, node, n.path, f.step + ": " + f.what());
        return;
    }
    c.out.add("ravelin_card_up", node, 1);
    c.out.add("ravelin_card_busy", node, 0);
    c.out.add("ravelin_card_info", with(node, {{"mac", mac_text(s.mac)}}), 1);
    const bool signal = s.input.signal();
    c.out.add("ravelin_input_signal", node, signal);
    if (signal)
        c.out.add("ravelin_input_info",
                  with(node, {{"width", std::to_string(s.input.width)},
                              {"height", std::to_string(s.input.height)},
                              {"rate", std::to_string(s.input.rate)},
                              {"scan", s.input.progressive ? "progressive" : "interlaced"}}),
                  1);
    c.out.add("ravelin_output_info", output_labels(node, s), 1);
    c.out.add("ravelin_output_muted", node, s.mute);
    c.out.add("ravelin_program_name_info", with(node, {{"program_name", status_json(s)["program_name"]}}), 1);
    if (want)
        c.out.add("ravelin_config_match", with(node, {{"file", want->file}}), match);
}

std::string metrics_text(const request& r)
{
    const double start = seconds_now();
    collection c;
    std::optional<config_folder> folder;
    try {
        folder = read_config_folder(r.config_dir);
        c.folder = &*folder;
    } catch (const failure& f) {
        std::cerr << "ravelinctl metrics: " << f.what() << "\n";
        ++c.errors;
    }
    for (const auto& n : list_nodes(false)) {
        const labels node = {{"adapter", std::to_string(n.adapter)}, {"frontend", std::to_string(n.frontend)}};
        if (n.kind == node_kind::card)
            collect_card(c, n, node);
        else if (n.kind == node_kind::unusable)
            node_failed(c, node, n.path, n.error);
    }
    c.out.add("ravelin_config_valid", {{"dir", r.config_dir}}, c.folder != nullptr);
    c.out.add("ravelin_collector_errors", {}, c.errors);
    c.out.add("ravelin_collector_success", {}, c.errors == 0);
    c.out.add("ravelin_collector_duration_seconds", {}, seconds_now() - start);
    return c.out.text();
}

void parse_metrics(request& r, const command_words& w)
{
    r.config_dir = default_config_dir;
    for (std::size_t i = 1; i < w.size();)
        if (!w.option(i, "config", r.config_dir) && !w.option(i, "output", r.file))
            refuse_usage("metrics: usage: ravelinctl metrics [--config DIR] [--output FILE]");
    if (r.mac || r.adapter_given || r.frontend_given)
        refuse_usage("metrics looks at every node: -a, -n and --mac do not apply");
    if (r.json || r.force)
        refuse_usage("metrics prints Prometheus's text format: --json and --force do not apply");
    if (r.wait_given)
        refuse_usage("metrics waits for no node, it reports which are busy: --wait does not apply");
}

int run_metrics(const request& r, record& out)
{
    // Readable by the node exporter's own user, as its collectors' files are.
    std::optional<output_file> file;
    if (!r.file.empty())
        file.emplace(r.file, 0644);
    const std::string text = metrics_text(r);
    if (file)
        file->commit({text.begin(), text.end()});
    else if (!text.empty())
        out.line(text.substr(0, text.size() - 1));
    return exit_done;
}

}  // namespace

extern const command_row metrics_command = {
    "metrics",
    [] {
        return std::string("  metrics [--config DIR] [--output FILE]\n"
                           "                          every node's state in Prometheus's text format, and\n"
                           "                          whether each card matches its description in DIR\n"
                           "                          (default /etc/ravelin); FILE is replaced whole\n");
    },
    parse_metrics, run_metrics};

}  // namespace ctl
