// SPDX-License-Identifier: GPL-2.0-or-later
#include "state_registers.h"

#include "zeb_card.h"

#include <cerrno>
#include <cstdio>
#include <sys/file.h>

namespace cardsim {

namespace {

// n hex digits at `at`, nothing else (no sign, space or 0x that sscanf would take).
bool hex_field(const std::string& line, size_t at, size_t n, unsigned& out)
{
    out = 0;
    for (size_t i = at; i < at + n; ++i) {
        char c = line[i];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0)
            return false;
        out = out << 4 | unsigned(d);
    }
    return true;
}

// Lines exactly as format_registers writes them: "0x48 0x%08x\n".
bool parse_registers(const std::string& text, saved_registers& out)
{
    saved_registers r;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            return false;
        std::string line = text.substr(start, end - start);
        start = end + 1;
        unsigned addr = 0, value = 0;
        if (line.size() != 15 || line.compare(0, 2, "0x") != 0 || !hex_field(line, 2, 2, addr) ||
            line.compare(4, 3, " 0x") != 0 || !hex_field(line, 7, 8, value))
            return false;
        if (!register_saved(addr) || !r.emplace(uint8_t(addr), value).second)
            return false;  // another register, or one twice
    }
    out = r;
    return true;
}

std::string format_registers(const saved_registers& r)
{
    std::string text;
    char line[32];
    for (const auto& [addr, value] : r) {
        snprintf(line, sizeof line, "0x%02x 0x%08x\n", unsigned(addr), value);
        text += line;
    }
    return text;
}

}  // namespace

bool register_saved(unsigned addr) { return addr == zeb_reg::auto_format || addr == zeb_reg::preset; }

std::string load_registers(state_folder& folder, saved_registers& out)
{
    if (folder.missing()) {
        out = saved_registers();
        return "";
    }
    std::string err = folder.open(false);
    if (!err.empty())
        return err;
    std::string text;
    int fd = open_regular(folder.fd(), "registers", O_RDONLY);
    if (fd < 0) {
        if (errno == ENOENT) {
            out = saved_registers();
            return "";
        }
        return describe_error("cannot read " + folder.path("registers"), errno);
    }
    bool ok = read_fd(fd, text, 4096);
    int e = errno;
    close_fd(fd);
    if (!ok)
        return describe_error("cannot read " + folder.path("registers"), e);
    if (!parse_registers(text, out))
        return "corrupt state: " + folder.path("registers") +
               " is not lines of \"0x48 0x%08x\" and \"0x4c 0x%08x\" (run cardsim --reset to make a new card)";
    return "";
}

std::string save_register(state_folder& folder, card_lock& lock, unsigned addr, uint32_t value)
{
    std::string err = folder.open(false);
    if (!err.empty() || !lock.lock(LOCK_EX, err))
        return err;
    unlock_at_exit unlock(lock);
    saved_registers r;
    load_registers(folder, r);  // a corrupt file is replaced by what this write knows
    r[uint8_t(addr)] = value;
    std::string text = format_registers(r);
    return folder.replace_file("registers", text.data(), text.size());
}

}  // namespace cardsim
