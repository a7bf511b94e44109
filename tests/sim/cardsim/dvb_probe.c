// SPDX-License-Identifier: GPL-2.0-or-later
// Opens paths the ways a program may, past or through the interposer, and
// prints one line per attempt: "WAY PATH ok" or "WAY PATH ERRNO-NAME".
// Built dynamic and static, of both classes.
//   dvb_probe open|folder|syscall|freopen|spawn|list PATH ...
// "folder" opens read-only with O_DIRECTORY, as find and nftw open a folder.
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

static void say(const char* way, const char* path, int err)
{
    const char* name = err ? strerrorname_np(err) : "ok";
    printf("%s %s %s\n", way, path, name ? name : "?");
}

static int by_name(const void* a, const void* b) { return strcmp(*(char* const*)a, *(char* const*)b); }

static void list(const char* path)
{
    DIR* d = opendir(path);
    if (!d) {
        say("list", path, errno);
        return;
    }
    char* names[256];
    int n = 0;
    struct dirent* e;
    while ((e = readdir(d)) && n < 256)
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
            names[n++] = strdup(e->d_name);
    closedir(d);
    qsort(names, (size_t)n, sizeof names[0], by_name);
    printf("list %s:", path);
    for (int i = 0; i < n; ++i)
        printf(" %s", names[i]);
    printf("\n");
}

int main(int argc, char** argv)
{
    setvbuf(stdout, NULL, _IOLBF, 0);
    for (int i = 1; i + 1 < argc; i += 2) {
        const char* way = argv[i];
        const char* path = argv[i + 1];
        int err = 0;
        if (!strcmp(way, "open")) {
            int fd = open(path, O_RDWR | O_NONBLOCK);
            err = fd < 0 ? errno : 0;
        } else if (!strcmp(way, "folder")) {
            int fd = open(path, O_RDONLY | O_DIRECTORY | O_NONBLOCK);
            err = fd < 0 ? errno : 0;
        } else if (!strcmp(way, "syscall")) {
            long fd = syscall(SYS_openat, AT_FDCWD, path, O_RDWR | O_NONBLOCK, 0);
            err = fd < 0 ? errno : 0;
        } else if (!strcmp(way, "freopen")) {
            FILE* f = freopen(path, "r+", stdin);
            err = f ? 0 : errno;
        } else if (!strcmp(way, "spawn")) {
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, 3, path, O_RDWR | O_NONBLOCK, 0);
            char* args[] = {(char*)"true", NULL};
            pid_t pid;
            err = posix_spawnp(&pid, "true", &actions, NULL, args, environ);
            if (!err)
                waitpid(pid, NULL, 0);
            posix_spawn_file_actions_destroy(&actions);
        } else if (!strcmp(way, "list")) {
            list(path);
            continue;
        } else {
            fprintf(stderr, "dvb_probe: unknown way '%s'\n", way);
            return 64;
        }
        say(way, path, err);
    }
    return 0;
}
