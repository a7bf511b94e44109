// SPDX-License-Identifier: GPL-2.0-or-later
#include "exec32.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace cardsim {

std::string find_program(const std::string& file)
{
    if (file.empty())
        return "";
    if (file.find('/') != std::string::npos)
        return access(file.c_str(), X_OK) == 0 ? file : "";
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        size_t end = dirs.find(':', start);
        std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + file;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (end == std::string::npos)
            return "";
        start = end + 1;
    }
}

int elf_bits(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    unsigned char head[20] = {};
    ssize_t n = read(fd, head, sizeof head);
    close(fd);
    if (n < 20 || memcmp(head, "\177ELF", 4) != 0)
        return 0;
    unsigned machine = head[18] | head[19] << 8;  // e_machine, little-endian on x86
    if (head[4] == 1 && machine == 3)             // ELFCLASS32, EM_386
        return 32;
    if (head[4] == 2 && machine == 62)            // ELFCLASS64, EM_X86_64
        return 64;
    return 0;
}

namespace {

// The dynamic symbol table of an ELF image of either class, read through the
// section headers with every offset checked against the file's size.
template <typename Ehdr, typename Shdr, typename Sym>
bool defines(const unsigned char* data, size_t size, const char* symbol)
{
    if (size < sizeof(Ehdr))
        return false;
    const Ehdr* eh = reinterpret_cast<const Ehdr*>(data);
    if (eh->e_shentsize != sizeof(Shdr) || eh->e_shoff == 0 || eh->e_shoff > size ||
        (size - eh->e_shoff) / sizeof(Shdr) < eh->e_shnum)
        return false;
    const Shdr* sh = reinterpret_cast<const Shdr*>(data + eh->e_shoff);
    size_t name_len = strlen(symbol);
    for (unsigned i = 0; i < eh->e_shnum; ++i) {
        if (sh[i].sh_type != SHT_DYNSYM || sh[i].sh_link >= eh->e_shnum || sh[i].sh_entsize != sizeof(Sym))
            continue;
        const Shdr& strtab = sh[sh[i].sh_link];
        if (sh[i].sh_offset > size || sh[i].sh_size > size - sh[i].sh_offset || strtab.sh_offset > size ||
            strtab.sh_size > size - strtab.sh_offset)
            return false;
        const Sym* syms = reinterpret_cast<const Sym*>(data + sh[i].sh_offset);
        const char* names = reinterpret_cast<const char*>(data + strtab.sh_offset);
        for (size_t k = 0; k < sh[i].sh_size / sizeof(Sym); ++k) {
            if (syms[k].st_shndx == SHN_UNDEF || syms[k].st_name >= strtab.sh_size ||
                strtab.sh_size - syms[k].st_name <= name_len)
                continue;
            if (memcmp(names + syms[k].st_name, symbol, name_len + 1) == 0)
                return true;
        }
    }
    return false;
}

}  // namespace

bool elf_exports(const std::string& path, const char* symbol)
{
    int bits = elf_bits(path);
    if (!bits)
        return false;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        close(fd);
        return false;
    }
    size_t size = size_t(st.st_size);
    void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (map == MAP_FAILED)
        return false;
    auto* data = static_cast<const unsigned char*>(map);
    bool found = bits == 64 ? defines<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym>(data, size, symbol)
                            : defines<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym>(data, size, symbol);
    munmap(map, size);
    return found;
}

int exec_program(const std::string& path, char* const argv[])
{
    // CARDSIM_FORCE_QEMU exercises the emulated path on kernels that do run 32-bit programs.
#ifdef CARDSIM_FORCE_QEMU_DEFAULT
    bool force = elf_bits(path) == 32;
#else
    bool force = getenv("CARDSIM_FORCE_QEMU") && elf_bits(path) == 32;
#endif
    if (!force) {
        execv(path.c_str(), argv);
        if (errno != ENOEXEC || elf_bits(path) != 32)
            return -1;
    }

    std::string qemu = find_program("qemu-i386");
    if (qemu.empty()) {
        errno = ENOEXEC;
        return -1;
    }
    std::vector<std::string> words{qemu};
    if (const char* preload = getenv("LD_PRELOAD"); preload && *preload) {
        words.push_back("-E");
        words.push_back(std::string("LD_PRELOAD=") + preload);
        unsetenv("LD_PRELOAD");
    }
    words.push_back(path);
    std::vector<char*> args;
    for (auto& w : words)
        args.push_back(w.data());
    for (int i = 1; argv[0] && argv[i]; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(qemu.c_str(), args.data());
    return -1;
}

}  // namespace cardsim
