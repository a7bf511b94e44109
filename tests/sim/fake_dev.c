// SPDX-License-Identifier: GPL-2.0-or-later
// Runs a command in a mount namespace of its own whose /dev is a fresh tmpfs
// holding character devices of the DVB major, as a machine with a capture
// card has them. No driver serves them, so a real open fails with ENXIO:
// a test sees every open that reached one. Needs root.
//   fake_dev [--as-nobody] [--no-namespaces | --no-user-namespaces] COMMAND [ARGS...]
// --as-nobody runs COMMAND as uid/gid 65534; --no-namespaces makes unshare
// fail with EPERM for COMMAND and its children, as a kernel or a container
// that forbids namespaces does; --no-user-namespaces only an unshare that
// asks for a user namespace. Always a 64-bit program, which the kernel runs.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

static void must(int ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "fake_dev: %s: %s\n", what, strerror(errno));
        exit(125);
    }
}

static void node(const char* path, unsigned maj, unsigned min)
{
    must(mknod(path, S_IFCHR | 0666, makedev(maj, min)) == 0, path);
    must(chmod(path, 0666) == 0, path);
}

// unshare of either class: 272 on x86-64, 310 on i386; with `only_user`
// only one whose flags ask for a user namespace.
static void forbid_unshare(int only_user)
{
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 2),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 272, 3, 6),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_I386, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 310, 0, 3),
        // the flags' low word
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, only_user ? CLONE_NEWUSER : 0xffffffffu, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog prog = {sizeof filter / sizeof filter[0], filter};
    must(prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0, "seccomp");
}

int main(int argc, char** argv)
{
    int as_nobody = 0, no_namespaces = 0, no_user_namespaces = 0, i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (!strcmp(argv[i], "--as-nobody"))
            as_nobody = 1;
        else if (!strcmp(argv[i], "--no-namespaces"))
            no_namespaces = 1;
        else if (!strcmp(argv[i], "--no-user-namespaces"))
            no_user_namespaces = 1;
        else
            break;
    }
    if (i >= argc) {
        fprintf(stderr, "usage: fake_dev [--as-nobody] [--no-namespaces | --no-user-namespaces] COMMAND [ARGS...]\n");
        return 125;
    }
    if (geteuid() != 0) {
        fprintf(stderr, "fake_dev: needs root (to make device nodes)\n");
        return 77;
    }
    must(unshare(CLONE_NEWNS) == 0, "unshare");
    must(mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) == 0, "make / private");
    must(mount("fake_dev", "/dev", "tmpfs", MS_NOSUID, "mode=0755") == 0, "mount /dev");
    node("/dev/null", 1, 3);
    node("/dev/zero", 1, 5);
    node("/dev/urandom", 1, 9);
    must(symlink("/proc/self/fd", "/dev/fd") == 0, "/dev/fd");
    must(mkdir("/dev/shm", 01777) == 0 && chmod("/dev/shm", 01777) == 0, "/dev/shm");
    must(mkdir("/dev/dvb", 0755) == 0, "/dev/dvb");
    must(mkdir("/dev/dvb/adapter0", 0755) == 0, "/dev/dvb/adapter0");
    must(mkdir("/dev/dvb/adapter1", 0755) == 0, "/dev/dvb/adapter1");
    node("/dev/dvb/adapter0/frontend0", 212, 0);
    node("/dev/dvb/adapter0/demux0", 212, 4);
    node("/dev/dvb/adapter1/frontend0", 212, 64);
    // the kernel's other names of the same devices, and a copy under a name of its own
    must(mkdir("/dev/char", 0755) == 0, "/dev/char");
    must(symlink("../dvb/adapter0/frontend0", "/dev/char/212:0") == 0, "/dev/char/212:0");
    must(symlink("../dvb/adapter1/frontend0", "/dev/char/212:64") == 0, "/dev/char/212:64");
    must(symlink("../null", "/dev/char/1:3") == 0, "/dev/char/1:3");
    node("/dev/card0", 212, 0);
    if (no_namespaces || no_user_namespaces)
        forbid_unshare(no_user_namespaces);
    if (as_nobody) {
        must(setgroups(0, NULL) == 0, "setgroups");
        must(setgid(65534) == 0, "setgid");
        must(setuid(65534) == 0, "setuid");
    }
    // execv, not execvp, for a path: execvp would hand a 32-bit program to sh
    if (strchr(argv[i], '/'))
        execv(argv[i], argv + i);
    else
        execvp(argv[i], argv + i);
    if (errno == ENOEXEC) {
        // a 32-bit program where the kernel runs none: through qemu-i386
        argv[i - 1] = (char*)"qemu-i386";
        execvp(argv[i - 1], argv + i - 1);
    }
    fprintf(stderr, "fake_dev: %s: %s\n", argv[i], strerror(errno));
    return 127;
}
