// SPDX-License-Identifier: GPL-2.0-or-later
// Finding the frontend nodes and what each one is. A node is identified by
// whether its driver serves one register read, on a read-only descriptor; only a node that answers as
// this card is opened read-write and asked for its MAC address.
#include "ravelinctl.h"

#include "zeb_card.h"
#include "zeb_status.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <unistd.h>

namespace ctl {

namespace {

// The adapters and frontends tried by name besides those that /dev/dvb
// lists: nodes that exist only for a program (the simulated card) are found
// this way too. The kernel's default limit is 16 adapters.
constexpr int probe_adapters = 16;
constexpr int probe_frontends = 4;

bool number_after(const char* name, const char* prefix, int& n)
{
    const std::size_t len = std::strlen(prefix);
    if (std::strncmp(name, prefix, len) != 0 || !name[len])
        return false;
    try {
        n = parse_number(name + len, 0, 255, prefix);
    } catch (const failure&) {
        return false;
    }
    return true;
}

std::set<std::pair<int, int>> candidates()
{
    std::set<std::pair<int, int>> found;
    for (int a = 0; a < probe_adapters; ++a)
        for (int f = 0; f < probe_frontends; ++f)
            found.insert({a, f});
    if (DIR* dvb = opendir("/dev/dvb")) {
        while (dirent* d = readdir(dvb)) {
            int a;
            if (!number_after(d->d_name, "adapter", a))
                continue;
            const std::string dir = std::string("/dev/dvb/") + d->d_name;
            if (DIR* adapter = opendir(dir.c_str())) {
                while (dirent* n = readdir(adapter)) {
                    int f;
                    if (number_after(n->d_name, "frontend", f))
                        found.insert({a, f});
                }
                closedir(adapter);
            }
        }
        closedir(dvb);
    }
    return found;
}

class descriptor {
public:
    explicit descriptor(int fd) : fd(fd) {}
    ~descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
    int fd;
};

// Whether the node answers as this card; one read request. False when there
// is no such node.
bool identify(node_info& n)
{
    descriptor ro(::open(n.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (ro.fd < 0) {
        if (errno == ENOENT || errno == ENODEV || errno == ENXIO)
            return false;
        const node_problem p = open_problem(n.path, errno);
        n.kind = node_kind::unusable;
        n.error = p.error;
        n.fix = p.fix;
        return true;
    }
    zebecp3 card{};
    card.setFrontend(ro.fd);
    zeb_take_status();
    card.zeb_read(zeb_reg::spi_version);  // answered is what counts, not the value
    const zeb_status s = zeb_take_status();
    if (!s.ok()) {
        const int error = s.first.error;
        if (refuses_card_requests(error)) {
            n.kind = node_kind::other;
        } else {
            n.kind = node_kind::unusable;
            n.error = std::string("the identifying register read failed: ") + std::strerror(error);
            n.fix = "check the card and its driver (dmesg)";
        }
        return true;
    }
    n.kind = node_kind::card;
    return true;
}

void read_mac(node_info& n, int wait_seconds, progress_line& progress)
{
    descriptor rw(open_waiting(n.path, O_RDWR | O_NONBLOCK | O_CLOEXEC, wait_seconds, progress));
    if (rw.fd < 0) {
        const node_problem p = open_problem(n.path, errno);
        n.kind = node_kind::unusable;
        n.error = p.error;
        n.fix = p.fix;
        return;
    }
    zebecp3 card{};
    card.setFrontend(rw.fd);
    zeb_take_status();
    unsigned char mac[8] = {};
    card.read_24cxx(zeb_eeprom::mac, zeb_eeprom::mac_length, mac);
    const zeb_status s = zeb_take_status();
    if (!s.ok()) {
        n.kind = node_kind::unusable;
        n.error = "the card did not give its MAC address";
        n.fix = "reset the card (ravelinctl -a " + std::to_string(n.adapter) + " -n " +
                std::to_string(n.frontend) + " reset mcu) or check it";
        return;
    }
    std::copy(mac, mac + 6, n.mac.begin());
}

}  // namespace

std::vector<node_info> list_nodes(bool ask_mac, int wait_seconds, progress_line* progress)
{
    progress_line none;
    std::vector<node_info> nodes;
    for (const auto& [a, f] : candidates()) {
        node_info n{a, f, "", node_kind::other, {}, "", ""};
        char path[64];
        zeb_node_path(path, sizeof path, a, f);
        n.path = path;
        if (!identify(n))
            continue;  // no such node
        if (n.kind == node_kind::card && ask_mac)
            read_mac(n, wait_seconds, progress ? *progress : none);
        nodes.push_back(n);
    }
    return nodes;
}

std::pair<int, int> node_of(const request& r)
{
    if (!r.mac)
        return {r.adapter, r.frontend};
    const std::string mac = mac_text(*r.mac);
    progress_line progress;
    progress.enabled = shows_progress(r);
    const std::vector<node_info> nodes = list_nodes(true, r.wait_seconds, &progress);
    for (const auto& n : nodes)
        if (n.kind == node_kind::card && n.mac == *r.mac && (!r.frontend_given || n.frontend == r.frontend))
            return {n.adapter, n.frontend};
    std::string why = "no card with MAC " + mac + (r.frontend_given ? " on frontend " + std::to_string(r.frontend) : "") +
                      " among " + std::to_string(nodes.size()) + " nodes";
    for (const auto& n : nodes)
        if (n.kind == node_kind::unusable)
            why += "; " + n.path + ": " + n.error;
    throw failure(exit_node, "looking for the card with MAC " + mac, why + " (ravelinctl list shows them)");
}

}  // namespace ctl
