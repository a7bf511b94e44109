// SPDX-License-Identifier: GPL-2.0-or-later
#include "exec32.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace cardsim {

program_search search_program(const std::string& file)
{
    program_search found;
    if (file.empty())
        return found;
    // What execvp would make of each candidate: runnable, or a file that is there but cannot be run.
    auto look = [&](const std::string& candidate) {
        struct stat st;
        if (stat(candidate.c_str(), &st) != 0)
            return false;
        if (S_ISDIR(st.st_mode)) {
            if (found.unrunnable.empty())
                found.unrunnable = candidate, found.why = "it is a folder";
            return false;
        }
        if (access(candidate.c_str(), X_OK) != 0) {
            if (found.unrunnable.empty())
                found.unrunnable = candidate, found.why = "no permission to run it (no execute bit)";
            return false;
        }
        found.path = candidate;
        return true;
    };
    if (file.find('/') != std::string::npos) {
        look(file);
        return found;
    }
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        size_t end = dirs.find(':', start);
        std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
        found.searched.push_back(dir.empty() ? "." : dir);
        if (look(found.searched.back() + "/" + file))
            return found;
        if (end == std::string::npos)
            return found;
        start = end + 1;
    }
}

std::string find_program(const std::string& file) { return search_program(file).path; }

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

// Headers are copied out of the image: an offset in the file need not be
// aligned for the type, and a header may lie past its end.
template <typename T>
bool copy_at(const unsigned char* data, size_t size, uint64_t offset, T& out)
{
    if (offset > size || size - offset < sizeof(T))
        return false;
    memcpy(&out, data + offset, sizeof(T));
    return true;
}

// The dynamic symbol table of an ELF image of either class, read through the
// section headers with every offset checked against the file's size.
template <typename Ehdr, typename Shdr, typename Sym>
bool defines(const unsigned char* data, size_t size, const char* symbol)
{
    Ehdr eh;
    // The whole table must be in the file.
    if (!copy_at(data, size, 0, eh) || eh.e_shentsize != sizeof(Shdr) || eh.e_shoff == 0 || eh.e_shoff > size ||
        (size - eh.e_shoff) / sizeof(Shdr) < eh.e_shnum)
        return false;
    auto section = [&](unsigned i, Shdr& out) { return copy_at(data, size, eh.e_shoff + uint64_t(i) * sizeof(Shdr), out); };
    size_t name_len = strlen(symbol);
    for (unsigned i = 0; i < eh.e_shnum; ++i) {
        Shdr sh, strtab;
        if (!section(i, sh))
            return false;
        if (sh.sh_type != SHT_DYNSYM || sh.sh_link >= eh.e_shnum || sh.sh_entsize != sizeof(Sym))
            continue;
        if (!section(sh.sh_link, strtab) || sh.sh_offset > size || sh.sh_size > size - sh.sh_offset ||
            strtab.sh_offset > size || strtab.sh_size > size - strtab.sh_offset)
            return false;
        const char* names = reinterpret_cast<const char*>(data + strtab.sh_offset);
        for (uint64_t k = 0; k < sh.sh_size / sizeof(Sym); ++k) {
            Sym sym;
            if (!copy_at(data, size, sh.sh_offset + k * sizeof(Sym), sym))
                return false;
            if (sym.st_shndx == SHN_UNDEF || sym.st_name >= strtab.sh_size ||
                strtab.sh_size - sym.st_name <= name_len)
                continue;
            if (memcmp(names + sym.st_name, symbol, name_len + 1) == 0)
                return true;
        }
    }
    return false;
}

// True when the image names no program interpreter (no PT_INTERP): nothing
// would load an interposer into it.
template <typename Ehdr, typename Phdr>
bool without_interpreter(const unsigned char* data, size_t size)
{
    Ehdr eh;
    if (!copy_at(data, size, 0, eh) || eh.e_phentsize != sizeof(Phdr))
        return false;
    for (unsigned i = 0; i < eh.e_phnum; ++i) {
        Phdr ph;
        if (!copy_at(data, size, eh.e_phoff + uint64_t(i) * sizeof(Phdr), ph))
            return false;
        if (ph.p_type == PT_INTERP)
            return false;
    }
    // A shared library has no interpreter either, but no entry point (a static PIE has one).
    return eh.e_type == ET_EXEC || (eh.e_type == ET_DYN && eh.e_entry != 0);
}

// Calls look(data, size, bits) on the mapped x86 ELF file; false for anything else.
template <typename Look>
bool with_image(const std::string& path, Look look)
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
    bool result = look(static_cast<const unsigned char*>(map), size, bits);
    munmap(map, size);
    return result;
}

}  // namespace

bool elf_exports(const std::string& path, const char* symbol)
{
    return with_image(path, [symbol](const unsigned char* data, size_t size, int bits) {
        return bits == 64 ? defines<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym>(data, size, symbol)
                          : defines<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym>(data, size, symbol);
    });
}

bool elf_static(const std::string& path)
{
    return with_image(path, [](const unsigned char* data, size_t size, int bits) {
        return bits == 64 ? without_interpreter<Elf64_Ehdr, Elf64_Phdr>(data, size)
                          : without_interpreter<Elf32_Ehdr, Elf32_Phdr>(data, size);
    });
}

std::string script_interpreter(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    char head[256];
    ssize_t n = read(fd, head, sizeof head - 1);
    close(fd);
    if (n < 3 || head[0] != '#' || head[1] != '!')
        return "";
    head[n] = '\0';
    const char* p = head + 2;
    while (*p == ' ' || *p == '\t')
        ++p;
    size_t len = strcspn(p, " \t\n");
    return std::string(p, len);
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
