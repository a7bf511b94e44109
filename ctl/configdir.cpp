// SPDX-License-Identifier: GPL-2.0-or-later
// The folder of descriptions an admin keeps for the machine's cards, and the
// configure command that makes one card match its description. The whole
// folder is read and checked before any node is opened, so that one broken
// file stops every card's run the same way, with nothing sent.
#include "rack.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ctl {

namespace {

const std::string suffix = ".json";

[[noreturn]] void refuse(const std::string& step, const std::string& message)
{
    throw failure(exit_usage, step, message);
}

// Only a regular file: a FIFO or a device in the folder would hang the run.
std::string read_file(const std::string& path, const std::string& step)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        refuse(step, path + ": " + std::strerror(errno));
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        refuse(step, path + ": not a regular file");
    }
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            close(fd);
            refuse(step, path + ": " + std::strerror(error));
        }
        if (n == 0)
            break;
        text.append(buf, std::size_t(n));
        if (text.size() > description_max) {
            close(fd);
            refuse(step, path + ": more than " + std::to_string(description_max) + " bytes, no description");
        }
    }
    close(fd);
    return text;
}

// "adapter0-frontend0" gives {0, 0}.
std::optional<std::pair<int, int>> place_of(const std::string& stem)
{
    const std::string a = "adapter", f = "-frontend";
    const auto dash = stem.find(f);
    if (stem.compare(0, a.size(), a) != 0 || dash == std::string::npos)
        return std::nullopt;
    try {
        return std::pair{parse_number(stem.substr(a.size(), dash - a.size()), 0, 255, "adapter"),
                         parse_number(stem.substr(dash + f.size()), 0, 255, "frontend")};
    } catch (const failure&) {
        return std::nullopt;
    }
}

// "00-1a-2b-3c-4d-5e": a MAC with dashes, which scp and make leave alone.
std::optional<mac_address> mac_of(const std::string& stem)
{
    if (stem.size() != 17 || stem.find(':') != std::string::npos)
        return std::nullopt;
    std::string t = stem;
    std::replace(t.begin(), t.end(), '-', ':');
    return parse_mac(t);
}

}  // namespace

const card_config* config_folder::find(const mac_address& mac, int adapter, int frontend) const
{
    if (auto m = by_mac.find(mac); m != by_mac.end())
        return &m->second;
    if (auto p = by_place.find({adapter, frontend}); p != by_place.end())
        return &p->second;
    return nullptr;
}

config_folder read_config_folder(const std::string& dir)
{
    config_folder folder;
    folder.dir = dir;
    const std::string step = "reading the configuration in " + dir;
    DIR* d = opendir(dir.c_str());
    if (!d) {
        if (errno == ENOENT)
            return folder;
        refuse(step, dir + ": " + std::strerror(errno));
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
        names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());

    for (const auto& name : names) {
        // Hidden files and an editor's leftovers (x.json~, x.json.swp) are not descriptions.
        if (name[0] == '.' || name.size() <= suffix.size() ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string path = dir + "/" + name;
        const std::string stem = name.substr(0, name.size() - suffix.size());
        const auto mac = mac_of(stem);
        const auto place = place_of(stem);
        if (!mac && !place)
            refuse(step, path + ": the name is no card: a MAC address (00-1a-2b-3c-4d-5e.json) or a place "
                               "(adapter0-frontend0.json)");
        card_config c{path, description_of(read_file(path, step), path)};
        const bool taken = mac ? !folder.by_mac.emplace(*mac, c).second : !folder.by_place.emplace(*place, c).second;
        if (taken)
            refuse(step, path + ": a second description of " +
                             (mac ? "MAC " + mac_text(*mac) : stem) + " (the names differ only in case)");
    }
    return folder;
}

card_status with_wanted(card_status s, const wanted_config& want)
{
    if (want.output)
        s.output = *want.output;
    if (want.mute)
        s.mute = *want.mute;
    if (want.program_name)
        s.program_name = *want.program_name;
    return s;
}

std::vector<std::string> settings_of(const wanted_config& w)
{
    std::vector<std::string> names;
    if (w.output)
        names.push_back("output");
    if (w.mute)
        names.push_back("mute");
    if (w.program_name)
        names.push_back("program_name");
    return names;
}

}  // namespace ctl
