// SPDX-License-Identifier: GPL-2.0-or-later
// Starting programs, 32-bit ones included, on kernels that cannot run them.
#pragma once

#include <string>
#include <vector>

namespace cardsim {

// Where `file` was looked for, as execvp would.
struct program_search {
    std::string path;                   // what execvp would run, "" when nothing
    std::string unrunnable, why;        // the first file found that cannot be run, and why
    std::vector<std::string> searched;  // the PATH folders looked in (none for a name with a slash)
};
program_search search_program(const std::string& file);

// The path execvp would run for `file`, or "" when there is none.
std::string find_program(const std::string& file);

// 32 or 64 for an x86 ELF executable, 0 for anything else (scripts, missing files).
int elf_bits(const std::string& path);

// True when the ELF file defines `symbol` among its dynamic symbols.
bool elf_exports(const std::string& path, const char* symbol);

// True for an x86 ELF executable without a program interpreter (statically
// linked): no interposer can be preloaded into it.
bool elf_static(const std::string& path);

// The interpreter named on a script's "#!" line, or "".
std::string script_interpreter(const std::string& path);

// Replaces the process with `path`. When the kernel refuses a 32-bit x86 ELF
// ("Exec format error"), or CARDSIM_FORCE_QEMU is set, runs it through qemu-i386; LD_PRELOAD then goes
// to the emulated program through qemu's -E, never to qemu itself.
// Returns only on failure, with errno set.
int exec_program(const std::string& path, char* const argv[]);

}  // namespace cardsim
