// SPDX-License-Identifier: GPL-2.0-or-later
// The SPI flash, read only: identify it, copy it, compare it with a file.
#include "commands.h"

#include <cstdio>
#include <cstring>

namespace ctl {

namespace {

// The capacities this tool reads: 64 KiB to 16 MiB, what three address bytes reach.
constexpr unsigned int capacity_min = 16, capacity_max = 24;

std::string hex_address(std::size_t at)
{
    char t[24];  // any size_t fits, not only the three address bytes of a flash
    std::snprintf(t, sizeof t, "0x%06zx", at);
    return t;
}

// Reads the words from `from` on, handing each to `use` until it says stop.
struct flash_identity {
    unsigned char id[7] = {};
    bool known = false;
    std::size_t size = 0;  // 0: not a size this tool reads
};

template <class Use>
void read_words(card_session& s, std::size_t size, Use use)
{
    for (std::size_t at = 0; at < size; at += 4) {
        // The flash takes the most significant address byte first.
        unsigned char addr[3] = {(unsigned char)(at >> 16), (unsigned char)(at >> 8), (unsigned char)at};
        unsigned int word = 0;
        if (at % 0x10000 == 0)
            s.step("reading the flash from " + hex_address(at));
        s.card.spi_read32bit(addr, &word);
        s.check();
        unsigned char bytes[4];
        std::memcpy(bytes, &word, 4);
        if (!use(at, bytes))
            return;
    }
}

flash_identity flash_identify(card_session& s)
{
    flash_identity f;
    s.step("identifying the flash");
    f.known = s.card.spi_GetFlashID(f.id) == 1;
    s.check();
    if (f.id[2] >= capacity_min && f.id[2] <= capacity_max)
        f.size = std::size_t(1) << f.id[2];
    return f;
}

std::vector<unsigned char> flash_read(card_session& s, std::size_t size)
{
    std::vector<unsigned char> image(size);
    read_words(s, size, [&](std::size_t at, const unsigned char* bytes) {
        std::memcpy(image.data() + at, bytes, 4);
        return true;
    });
    return image;
}

long flash_compare(card_session& s, const std::vector<unsigned char>& image)
{
    long first = -1;
    read_words(s, image.size(), [&](std::size_t at, const unsigned char* bytes) {
        for (int k = 0; k < 4 && first < 0; ++k)
            if (bytes[k] != image[at + k])
                first = long(at + k);
        return first < 0;
    });
    return first;
}

// A flash image to verify against: a whole flash, read before the node is opened.
std::vector<unsigned char> flash_image(const std::string& file)
{
    const std::string text = read_all(file, std::size_t(1) << capacity_max);
    const std::size_t size = text.size();
    if (size < (std::size_t(1) << capacity_min) || size > (std::size_t(1) << capacity_max) || (size & (size - 1)))
        throw failure(exit_usage, "reading " + file,
                      file + ": " + std::to_string(size) +
                          " bytes is no flash image (a power of two from 64 KiB to 16 MiB)");
    return {text.begin(), text.end()};
}

void parse_flash(request& r, const command_words& w)
{
    if (w.size() < 2)
        refuse_usage("flash: usage: ravelinctl flash id | read FILE | verify FILE");
    if (w[1] == "id") {
        w.expect(2, "flash id");
    } else if (w[1] == "read" || w[1] == "verify") {
        w.expect(3, "flash " + w[1] + " FILE");
        r.file = w[2];
        if (r.file.empty())
            refuse_usage("flash " + w[1] + ": the file name is empty");
        if (w[1] == "verify")
            r.verify_image = flash_image(r.file);
    } else {
        refuse_usage("flash: \"" + w[1] + "\" is none of id, read, verify (the flash is never written)");
    }
}

std::string hex_byte(unsigned char b)
{
    char t[8];
    std::snprintf(t, sizeof t, "0x%02x", b);
    return t;
}

void record_id(record& out, const flash_identity& id)
{
    out.add({{"manufacturer", id.id[0]}, {"type", id.id[1]}, {"capacity", id.id[2]}},
            "flash: manufacturer " + hex_byte(id.id[0]) + ", type " + hex_byte(id.id[1]) + ", capacity " +
                hex_byte(id.id[2]) + " (" + std::to_string(id.size) + " bytes), " +
                (id.known ? "known" : "not one this card is built with"));
    out.add({{"version", {id.id[3], id.id[4], id.id[5], id.id[6]}}, {"known", id.known}, {"size", id.size}},
            "version: " + std::to_string(id.id[3]) + "." + std::to_string(id.id[4]) + "." +
                std::to_string(id.id[5]) + "." + std::to_string(id.id[6]));
}

// read and verify: the whole flash, whose size its identification gives.
int run_file(const request& r, card_session& s, record& out, std::optional<output_file>& copy)
{
    const flash_identity id = flash_identify(s);
    if (id.size == 0)
        throw failure(exit_card, "identifying the flash",
                      "capacity code " + std::to_string(id.id[2]) + " is no size this tool reads");
    const std::string file = shown_text(r.file);
    out.add({{"file", file}, {"size", id.size}});
    if (copy) {
        copy->commit(flash_read(s, id.size));
        out.line("read " + std::to_string(id.size) + " bytes of flash into " + file, record::unless_quiet);
        return exit_done;
    }
    if (r.verify_image.size() != id.size)
        throw failure(exit_card, "comparing the flash with " + r.file,
                      "the flash holds " + std::to_string(id.size) + " bytes, " + r.file + " " +
                          std::to_string(r.verify_image.size()));
    const long difference = flash_compare(s, r.verify_image);
    if (difference < 0) {
        out.add({{"identical", true}},
                "flash and " + file + " are identical (" + std::to_string(id.size) + " bytes)", record::unless_quiet);
        return exit_done;
    }
    char at[64];
    std::snprintf(at, sizeof at, "%ld (0x%lx)", difference, difference);
    out.add({{"identical", false}, {"first_difference", difference}},
            "flash and " + file + " differ first at byte " + at);
    return exit_card;
}

int run_flash(const request& r, record& out)
{
    // The copy is made before the card is touched, so that a folder it cannot be made in is refused first.
    std::optional<output_file> copy;
    if (!r.file.empty() && r.verify_image.empty())
        copy.emplace(r.file);
    card_session s(r);
    s.open_and_identify();
    out.node(s.adapter(), s.frontend());
    if (r.file.empty()) {
        record_id(out, flash_identify(s));
        return exit_done;
    }
    return run_file(r, s, out, copy);
}

}  // namespace

extern const command_row flash_command = {
    "flash",
    [] {
        return std::string("  flash id                identify the SPI flash\n"
                           "  flash read FILE         copy the whole flash into FILE\n"
                           "  flash verify FILE       compare the whole flash with FILE (exit 1 when they\n"
                           "                          differ)\n");
    },
    parse_flash, run_flash};

}  // namespace ctl
