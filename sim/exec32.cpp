#include "exec32.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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
