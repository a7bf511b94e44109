// SPDX-License-Identifier: GPL-2.0-or-later
// ravelinctl: check everything the run asks, pick the node, do one command on
// the card, and end with the status that says what happened.
#include "ravelinctl.h"
#include "rack.h"

#include "zeb_program.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <iostream>
#include <unistd.h>

using namespace ctl;

namespace {

// Whether --json stands among the options, for a refusal of the rest.
bool asks_json(int argc, char** argv)
{
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "--json") == 0)
            return true;
    return false;
}

// The node of --mac: the first card that gives that MAC, on frontend -n if given.
std::pair<int, int> node_of_mac(const request& r, progress_line& progress)
{
    const std::string mac = mac_text(*r.mac);
    const std::string step = "looking for the card with MAC " + mac;
    const std::vector<node_info> nodes = list_nodes(true, r.wait_seconds, &progress);
    for (const auto& n : nodes)
        if (n.kind == node_kind::card && n.mac == *r.mac && (!r.frontend_given || n.frontend == r.frontend))
            return {n.adapter, n.frontend};
    std::string why = "no card with MAC " + mac + (r.frontend_given ? " on frontend " + std::to_string(r.frontend) : "") +
                      " among " + std::to_string(nodes.size()) + " nodes";
    for (const auto& n : nodes)
        if (n.kind == node_kind::unusable)
            why += "; " + n.path + ": " + n.error;
    throw failure(exit_node, step, why + " (ravelinctl list shows them)");
}

// A file written whole or not at all: a temporary beside it, renamed into place.
class output_file {
public:
    explicit output_file(const std::string& path, mode_t mode = 0600) : path(path), temp(path + ".XXXXXX")
    {
        fd = mkstemp(temp.data());
        if (fd >= 0 && fchmod(fd, mode) != 0) {
            const int error = errno;
            close(fd);
            unlink(temp.c_str());
            errno = error;
            fd = -1;
        }
        if (fd < 0)
            throw failure(exit_usage, "creating " + path, path + ": " + std::strerror(errno));
    }
    ~output_file()
    {
        if (fd >= 0) {
            close(fd);
            unlink(temp.c_str());
        }
    }
    void commit(const std::vector<unsigned char>& bytes)
    {
        const std::string step = "writing " + path;
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw failure(exit_usage, step, path + ": " + std::strerror(errno));
            done += std::size_t(n);
        }
        if (fsync(fd) != 0 || close(fd) != 0) {
            fd = -1;
            throw failure(exit_usage, step, path + ": " + std::strerror(errno));
        }
        fd = -1;
        if (rename(temp.c_str(), path.c_str()) != 0) {
            const int error = errno;
            unlink(temp.c_str());
            throw failure(exit_usage, step, path + ": " + std::strerror(error));
        }
    }

private:
    std::string path;
    std::string temp;
    int fd = -1;
};

// Help, version and list: the commands that open no node of their own.
std::optional<int> run_without_card(const request& r)
{
    switch (r.what) {
    case command::help: {
        const std::string text = r.help_topic.empty() ? help_text() : command_help(r.help_topic);
        if (r.json)
            print_json(nlohmann::ordered_json{{"help", text}});
        else
            std::fputs(text.c_str(), stdout);
        return exit_done;
    }
    case command::version:
        if (r.json)
            print_json(nlohmann::ordered_json{{"version", RAVELIN_VERSION}});
        else
            std::printf("ravelinctl %s\n", RAVELIN_VERSION);
        return exit_done;
    case command::list:
        print_list(r, list_nodes());
        return exit_done;
    case command::metrics: {
        // Readable by the node exporter's own user, as its collectors' files are.
        std::optional<output_file> out;
        if (!r.file.empty())
            out.emplace(r.file, 0644);
        const std::string text = metrics_text(r);
        if (out)
            out->commit({text.begin(), text.end()});
        else
            std::fputs(text.c_str(), stdout);
        return exit_done;
    }
    default:
        return std::nullopt;
    }
}

int run(const request& r)
{
    if (const std::optional<int> status = run_without_card(r))
        return *status;

    std::optional<config_folder> folder;
    if (r.what == command::configure)
        folder = read_config_folder(r.config_dir);  // refused before the card is touched if broken
    std::optional<output_file> out;
    if (r.what == command::flash_read)
        out.emplace(r.file);  // refused before the card is touched if it cannot be made

    progress_line progress;
    progress.enabled = isatty(2) && !r.quiet && !r.json;
    auto [adapter, frontend] = r.mac ? node_of_mac(r, progress) : std::pair{r.adapter, r.frontend};
    if (folder && !folder->may_name(adapter, frontend)) {
        print_unconfigured(r, *folder, adapter, frontend, std::nullopt);
        return exit_done;
    }
    card_session s(adapter, frontend, progress);
    s.open_and_identify(r.wait_seconds);

    switch (r.what) {
    case command::status:
        print_status(r, adapter, frontend, s.read_status());
        return exit_done;
    case command::set:
    case command::mute:
    case command::name:
    case command::apply:
        print_changes(r, adapter, frontend,
                      apply_logged(s, r.want, r.force, std::nullopt, r.file == "-" ? "standard input" : r.file),
                      settings_of(r.want));
        return exit_done;
    case command::diff:
        return run_diff(r, s);
    case command::configure: {
        mac_address mac{};
        const card_config* c = configured(s, *folder, mac);
        if (!c) {
            print_unconfigured(r, *folder, adapter, frontend, mac);
            return exit_done;
        }
        print_changes(r, adapter, frontend, apply_logged(s, c->want, r.force, mac, c->file), settings_of(c->want));
        return exit_done;
    }
    case command::reset:
        print_reset(r, adapter, frontend, reset_logged(s, r.reset_mcu));
        return exit_done;
    case command::flash_id:
        print_flash_id(r, adapter, frontend, flash_identify(s));
        return exit_done;
    case command::flash_read:
    case command::flash_verify: {
        const flash_identity id = flash_identify(s);
        if (id.size == 0)
            throw failure(exit_card, "identifying the flash",
                          "capacity code " + std::to_string(id.id[2]) + " is no size this tool reads");
        if (r.what == command::flash_read) {
            out->commit(flash_read(s, id.size));
            print_flash_file(r, adapter, frontend, id.size, std::nullopt);
            return exit_done;
        }
        if (r.verify_image.size() != id.size)
            throw failure(exit_card, "comparing the flash with " + r.file,
                          "the flash holds " + std::to_string(id.size) + " bytes, " + r.file + " " +
                              std::to_string(r.verify_image.size()));
        const long difference = flash_compare(s, r.verify_image);
        print_flash_file(r, adapter, frontend, id.size, difference);
        return difference < 0 ? exit_done : exit_card;
    }
    default:
        return exit_usage;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    // The command-line tool's waits; the library's own texts go nowhere, the
    // tool says what happened itself.
    zeb_select_program(zeb_program_ravelins, nullptr);
    request r;
    r.json = asks_json(argc, argv);
    try {
        r = parse_command_line(argc, argv);
        return run(r);
    } catch (const failure& f) {
        print_failure(r, f);
        return f.status;
    } catch (const std::exception& e) {
        // Not one of the tool's own ends: say so rather than end without a word.
        print_failure(r, failure(exit_card, "running the command", e.what()));
        return exit_card;
    }
}
