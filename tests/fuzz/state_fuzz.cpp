// SPDX-License-Identifier: GPL-2.0-or-later
// The card's state folder as the model and `cardsim --show` read it: an
// EEPROM, a registers file, an unknown-accesses file and a flash of any shape.
// A folder the check refuses is left as it was; one it accepts reads back
// byte for byte, and its registers come back through the model's own format.
//
// Input: byte 0 says which files exist (bit 0 eeprom, 1 registers, 2 unknown,
// 3 a flash of the right size, 4 one of byte 5's size); bytes 1-2 and 3-4 are
// the lengths (little-endian) of the registers and unknown texts that follow
// from byte 6; the rest is the EEPROM.
#include "config.h"
#include "show.h"
#include "state.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace cardsim;

namespace {

std::string g_dir;

[[noreturn]] void fail(const std::string& what)
{
    fprintf(stderr, "state fuzz: %s\n", what.c_str());
    abort();
}

// readdir64: the folder's inode numbers may not fit a 32-bit tree's readdir.
std::vector<std::string> entries()
{
    std::vector<std::string> names;
    if (DIR* d = opendir(g_dir.c_str())) {
        while (dirent64* e = readdir64(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void empty_folder()
{
    for (const auto& name : entries())
        unlink((g_dir + "/" + name).c_str());
}

void remove_folder()
{
    empty_folder();
    rmdir(g_dir.c_str());
}

void put(const char* name, const void* data, size_t size)
{
    int fd = open((g_dir + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || (size && write(fd, data, size) != ssize_t(size)))
        fail(std::string("cannot write ") + name);
    close(fd);
}

std::string get(const char* name)
{
    std::string text;
    FILE* f = fopen((g_dir + "/" + name).c_str(), "rb");
    if (!f)
        return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

// The lines of a text, lower case, sorted: what a registers file says,
// whatever the order of its lines and the case of its hex digits.
std::vector<std::string> lines_of(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(tolower(c)); });
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// An accepted registers file, written again by the model, says the same and
// reads back as the same registers: no line of another shape passes.
void registers_round_trip(const saved_registers& read, const std::string& text)
{
    unlink((g_dir + "/registers").c_str());
    card_state state(g_dir);
    std::string err;
    for (const auto& [addr, value] : read)
        if (!(err = state.save_register(addr, value)).empty())
            fail("cannot save register " + std::to_string(unsigned(addr)) + ": " + err);
    std::string written = get("registers");
    if (lines_of(written) != lines_of(text))
        fail("the registers file '" + text + "' was taken, but the model writes it as '" + written + "'");
    saved_registers again;
    if (!(err = state.load_registers(again)).empty())
        fail("the model's own registers file is refused: " + err);
    if (read != again)
        fail("the registers file '" + written + "' reads back as other values");
}

void accepted(const std::string& registers_text, bool has_registers, bool has_eeprom,
              const std::string& eeprom_bytes, bool has_flash, unsigned rotate)
{
    card_state state(g_dir);
    saved_registers regs;
    std::string err = state.load_registers(regs);
    if (!err.empty())
        fail("the check took a registers file that loading refuses: " + err);
    std::vector<std::string> unknown;
    if (!(err = state.load_unknown(unknown)).empty())
        fail("the check took an unknown file that loading refuses: " + err);
    std::string unknown_text = "\n" + get("unknown") + "\n";
    for (size_t i = 0; i < unknown.size(); ++i) {
        if (unknown[i].empty() || unknown[i].find('\n') != std::string::npos ||
            std::count(unknown.begin(), unknown.end(), unknown[i]) != 1 ||
            unknown_text.find("\n" + unknown[i] + "\n") == std::string::npos)
            fail("the unknown accesses are not the file's distinct lines");
    }

    std::vector<unsigned char> eeprom(eeprom_size, 0);
    if (has_eeprom) {
        std::vector<unsigned char> image;
        if (!state.read_image("eeprom", eeprom_size, image) ||
            memcmp(image.data(), eeprom_bytes.data(), eeprom_size) != 0)
            fail("--show reads another EEPROM than the file");
        unsigned addr = rotate % eeprom_size;
        if (!state.eeprom_read(addr, eeprom_size, eeprom.data(), err))
            fail("the card cannot read an EEPROM the check took: " + err);
        for (unsigned i = 0; i < eeprom_size; ++i)
            if (eeprom[i] != (unsigned char)eeprom_bytes[(addr + i) % eeprom_size])
                fail("the card reads another EEPROM than the file");
        std::rotate(eeprom.begin(), eeprom.end() - addr, eeprom.end());
    }
    if (has_flash) {
        unsigned char* flash = state.flash(err);
        if (!flash || flash[flash_size - 1] != 0)
            fail("the card cannot map a flash the check took: " + err);
    }
    std::string shown = describe_state(g_dir, eeprom.data(), !has_eeprom, regs, nullptr, unknown, sim_config());
    if (shown.find("\nEEPROM\n") == std::string::npos)
        fail("--show printed no EEPROM");
    if (has_registers)
        registers_round_trip(regs, registers_text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/ravelin-fuzz-state-XXXXXX";
    if (!mkdtemp(templ.data()))
        fail("cannot make a state folder under " + templ);
    g_dir = templ;
    atexit(remove_folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 6)
        return 0;
    const unsigned flags = data[0];
    size_t rest = size - 6;
    size_t reg_len = std::min<size_t>(data[1] | data[2] << 8, rest);
    size_t unknown_len = std::min<size_t>(data[3] | data[4] << 8, rest - reg_len);
    const char* p = reinterpret_cast<const char*>(data) + 6;
    const std::string registers_text(p, reg_len), unknown_text(p + reg_len, unknown_len);
    const std::string eeprom_bytes(p + reg_len + unknown_len, rest - reg_len - unknown_len);

    empty_folder();
    if (flags & 1)
        put("eeprom", eeprom_bytes.data(), eeprom_bytes.size());
    if (flags & 2)
        put("registers", registers_text.data(), registers_text.size());
    if (flags & 4)
        put("unknown", unknown_text.data(), unknown_text.size());
    bool right_flash = flags & 8;
    if (right_flash || (flags & 16)) {
        put("flash", "", 0);
        if (truncate((g_dir + "/flash").c_str(), right_flash ? flash_size : data[5]) != 0)
            fail("cannot size the flash");
    }

    const std::vector<std::string> before = entries();
    std::string err = card_state(g_dir).check();
    if (entries() != before)
        fail("the check changed the folder");
    bool eeprom_ok = !(flags & 1) || eeprom_bytes.size() == eeprom_size;
    bool flash_ok = !(flags & 24) || right_flash;
    if (err.empty() && (!eeprom_ok || !flash_ok))
        fail("the check took an EEPROM or flash of the wrong size");
    if (!err.empty())
        return 0;
    accepted(registers_text, flags & 2, flags & 1, eeprom_bytes, right_flash, data[5]);
    return 0;
}
