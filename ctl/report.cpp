// SPDX-License-Identifier: GPL-2.0-or-later
// What ravelinctl prints: the text for people and, with --json, one JSON
// object per run on standard output, built with nlohmann::json. The JSON's
// shapes are described in docs/ravelinctl.schema.json alone.
#include "commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

namespace ctl {

namespace {

using json = nlohmann::ordered_json;

const char* profile_name(const advanced_settings& a)
{
    return zeb_encoder::profile_names[a.main_profile ? zeb_encoder::profile_main : zeb_encoder::profile_high];
}

}  // namespace

std::string hex_of(const std::string& bytes)
{
    std::string t;
    char two[3];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof two, "%02x", c);
        t += two;
    }
    return t;
}

namespace {

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

}  // namespace

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

std::string shown_name(const std::string& bytes)
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

std::string shown_text(const std::string& bytes)
{
    if (valid_utf8(bytes))
        return bytes;
    std::string t;
    for (unsigned char c : bytes) {
        char escape[5];
        std::snprintf(escape, sizeof escape, "\\x%02x", c);
        t += c < 0x80 ? std::string(1, char(c)) : std::string(escape);
    }
    return t;
}

void print_json(const json& j) { std::cout << j.dump(2, ' ', false, json::error_handler_t::replace) << '\n'; }

json status_json(const card_status& s)
{
    json j{
        {"mac", mac_text(s.mac)},
        {"input",
         {{"width", s.input.width},
          {"height", s.input.height},
          {"rate", s.input.rate},
          {"progressive", s.input.progressive},
          {"signal", s.input.signal()}}},
        {"output", output_json(s.output)},
        {"mute", s.mute},
        {"program_name", shown_name(s.program_name)},
    };
    if (!valid_utf8(s.program_name))
        j["program_name_hex"] = hex_of(s.program_name);
    return j;
}

void print_failure(const request& r, const failure& f)
{
    // Whatever bytes the command line or the card held: valid text, valid JSON.
    const std::string error = shown_text(f.what()), step = shown_text(f.step);
    if (r.json) {
        json j{{"error", error}, {"step", step}, {"exit", f.status}};
        if (!f.written.empty()) {
            j["changed"] = true;
            j["written"] = f.written;
        }
        print_json(j);
    }
    std::fprintf(stderr, "ravelinctl: %s: %s\n", step.c_str(), error.c_str());
    std::string written;
    for (const auto& w : f.written)
        written += (written.empty() ? "" : ", ") + (w == "program_name" ? std::string("program name") : w);
    if (!written.empty())
        std::fprintf(stderr, "ravelinctl: written before the failure, the card may store it: %s\n", written.c_str());
}

record& record::add(json fields, std::string line, shown when)
{
    json_.update(fields);
    if (!line.empty())
        lines_.emplace_back(std::move(line), when);
    return *this;
}

record& record::line(std::string text, shown when)
{
    lines_.emplace_back(std::move(text), when);
    return *this;
}

record& record::item(const std::string& key, json element, std::string line)
{
    json_[key].push_back(std::move(element));
    if (!line.empty())
        lines_.emplace_back(std::move(line), always);
    return *this;
}

record& record::node(int adapter, int frontend, std::string line)
{
    return add(json{{"adapter", adapter}, {"frontend", frontend}}, std::move(line));
}

void record::print(bool as_json, bool quiet) const
{
    if (as_json) {
        print_json(json_);
        return;
    }
    for (const auto& [text, when] : lines_)
        if (when == always || !quiet)
            std::printf("%s\n", text.c_str());
}

output_file::output_file(const std::string& path, mode_t mode) : path_(path), temp_(path + ".XXXXXX")
{
    fd_ = mkstemp(temp_.data());
    if (fd_ >= 0 && fchmod(fd_, mode) != 0) {
        const int error = errno;
        close(fd_);
        unlink(temp_.c_str());
        errno = error;
        fd_ = -1;
    }
    if (fd_ < 0)
        throw failure(exit_usage, "creating " + path, path + ": " + std::strerror(errno));
}

output_file::~output_file()
{
    if (fd_ >= 0) {
        close(fd_);
        unlink(temp_.c_str());
    }
}

void output_file::commit(const std::vector<unsigned char>& bytes)
{
    const std::string step = "writing " + path_;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw failure(exit_usage, step, path_ + ": " + std::strerror(errno));
        done += std::size_t(n);
    }
    if (fsync(fd_) != 0 || close(fd_) != 0) {
        fd_ = -1;
        throw failure(exit_usage, step, path_ + ": " + std::strerror(errno));
    }
    fd_ = -1;
    if (rename(temp_.c_str(), path_.c_str()) != 0) {
        const int error = errno;
        unlink(temp_.c_str());
        throw failure(exit_usage, step, path_ + ": " + std::strerror(error));
    }
}

}  // namespace ctl
