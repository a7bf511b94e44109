// SPDX-License-Identifier: GPL-2.0-or-later
// Preloaded into ravelinctl by the trail's tests: each syslog(3) message is
// appended to the file $RAVELIN_TEST_SYSLOG as "PRIORITY IDENT: TEXT", one
// line each (the priority with its facility, as a number), instead of going to the machine's log. Works for any user,
// root or not, and needs no namespace.
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char ident[64] = "?";
static int facility_of_openlog = 8;  // LOG_USER, syslog's own default

void openlog(const char* name, int option, int facility)
{
    (void)option;
    facility_of_openlog = facility;
    snprintf(ident, sizeof ident, "%s", name ? name : "?");
}

void closelog(void) {}

void vsyslog(int priority, const char* format, va_list ap)
{
    const char* path = getenv("RAVELIN_TEST_SYSLOG");
    if (!path)
        return;
    char text[4096];
    if ((priority & ~7) == 0)
        priority |= facility_of_openlog;
    int n = snprintf(text, sizeof text, "%d %s: ", priority, ident);
    vsnprintf(text + n, sizeof text - (size_t)n - 1, format, ap);
    strcat(text, "\n");
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ssize_t w = write(fd, text, strlen(text));
        (void)w;
        close(fd);
    }
}

void syslog(int priority, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    vsyslog(priority, format, ap);
    va_end(ap);
}

// What a build with _FORTIFY_SOURCE calls instead.
void __syslog_chk(int priority, int flag, const char* format, ...)
{
    (void)flag;
    va_list ap;
    va_start(ap, format);
    vsyslog(priority, format, ap);
    va_end(ap);
}

void __vsyslog_chk(int priority, int flag, const char* format, va_list ap)
{
    (void)flag;
    vsyslog(priority, format, ap);
}
