// SPDX-License-Identifier: GPL-2.0-or-later
// Whether the kernel runs a program itself: a 32-bit one on a kernel without
// 32-bit support goes through qemu-i386, which programs such as timeout and
// setpriv do not know to use.
#pragma once

#include <cerrno>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

inline bool kernel_runs(const char* path)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        execl(path, path, "--kernel-runs-probe", (char*)nullptr);
        _exit(errno == ENOEXEC ? 99 : 98);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 99);
}
