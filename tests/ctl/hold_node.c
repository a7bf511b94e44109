// SPDX-License-Identifier: GPL-2.0-or-later
// hold_node NODE COMMAND [ARGUMENT...]: run under cardsim, holds NODE
// read-write, starts COMMAND, and lets go of NODE right after COMMAND's first
// open of it failed; then waits for COMMAND and exits with its status. So a
// program that tries again finds the node free, whatever its pauses.
//
// Under cardsim a node's descriptor is its lock file in the state folder; the
// failed open of another program opens and closes that file, which inotify
// tells. The watch is set before COMMAND starts, so no close is missed.
// Exit 100 with a message when COMMAND ended without such an open, 101 when
// something here failed.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

static int fail(const char* what)
{
    fprintf(stderr, "hold_node: %s: %s\n", what, strerror(errno));
    return 101;
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        fputs("usage: hold_node NODE COMMAND [ARGUMENT...]\n", stderr);
        return 101;
    }
    const int node = open(argv[1], O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (node < 0)
        return fail(argv[1]);
    // The file behind the descriptor, from the system itself: the interposer
    // shows the link as the node.
    char link[64], lock[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", node);
    const long n = syscall(SYS_readlinkat, AT_FDCWD, link, lock, sizeof lock - 1);
    if (n <= 0)
        return fail(link);
    lock[n] = '\0';
    const int watch = inotify_init1(IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, lock, IN_CLOSE_NOWRITE) < 0)
        return fail(lock);
    // COMMAND holds the write end: it reads as ended when COMMAND has.
    int ended[2];
    if (pipe2(ended, O_CLOEXEC) != 0)
        return fail("pipe");
    const pid_t child = fork();
    if (child < 0)
        return fail("fork");
    if (child == 0) {
        fcntl(ended[1], F_SETFD, 0);
        execvp(argv[2], argv + 2);
        _exit(fail(argv[2]));
    }
    close(ended[1]);
    struct pollfd what[2] = {{watch, POLLIN, 0}, {ended[0], POLLIN, 0}};
    while (poll(what, 2, -1) < 0)
        if (errno != EINTR)
            return fail("poll");
    const int tried = (what[0].revents & POLLIN) != 0;
    close(node);
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return fail("waitpid");
    if (!tried) {
        fputs("hold_node: COMMAND ended without trying to open the node\n", stderr);
        return 100;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
