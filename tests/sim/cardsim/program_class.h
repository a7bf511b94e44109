// SPDX-License-Identifier: GPL-2.0-or-later
// Programs of either class in shell commands and under other launchers
// (setpriv, sh -c): a 32-bit program goes through qemu-i386 where the kernel
// does not run it, as cardsim and testsupport::run do by themselves.
#pragma once

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// Whether the kernel runs `program` itself; it runs with no arguments to find out.
inline bool runs_natively(const std::string& program)
{
    static std::map<std::string, bool> known;
    if (auto it = known.find(program); it != known.end())
        return it->second;
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        execl(program.c_str(), program.c_str(), nullptr);
        _exit(errno == ENOEXEC ? 99 : 98);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return known[program] = !(WIFEXITED(status) && WEXITSTATUS(status) == 99);
}

// `program` as the first words of a shell command.
inline std::string as_command(const std::string& program)
{
    return runs_natively(program) ? program : "qemu-i386 " + program;
}

// `program` as the first words of an argument vector.
inline std::vector<std::string> as_argv(const std::string& program)
{
    if (runs_natively(program))
        return {program};
    return {"qemu-i386", program};
}
