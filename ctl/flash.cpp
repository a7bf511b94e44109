// SPDX-License-Identifier: GPL-2.0-or-later
// The SPI flash, read only: identify it, copy it, compare it with a file.
#include "ravelinctl.h"

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

}  // namespace

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

}  // namespace ctl
