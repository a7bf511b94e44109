// SPDX-License-Identifier: GPL-2.0-or-later
// The ELF reader that cardsim uses to tell a program's class and to recognise
// its interposer (CARDSIM_PRELOAD_32/64 may name any file): any bytes at all,
// read through a path as cardsim reads them.
#include "exec32.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

int g_fd = -1;
std::string g_path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // A file in memory, reached by a path as a named one would be.
    g_fd = memfd_create("elf-fuzz", MFD_CLOEXEC);
    if (g_fd < 0) {
        perror("memfd_create");
        abort();
    }
    g_path = "/proc/self/fd/" + std::to_string(g_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (ftruncate(g_fd, 0) != 0 || pwrite(g_fd, data, size, 0) != ssize_t(size)) {
        perror("elf fuzz: cannot write the file");
        abort();
    }
    int bits = cardsim::elf_bits(g_path);
    if (bits != 0 && bits != 32 && bits != 64)
        abort();
    bool exports = cardsim::elf_exports(g_path, "cardsim_interposer_version");
    // Only a file of a known class can export anything.
    if (exports && bits == 0)
        abort();
    cardsim::elf_exports(g_path, "");
    return 0;
}
