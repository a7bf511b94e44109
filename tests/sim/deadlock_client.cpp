// SPDX-License-Identifier: GPL-2.0-or-later
// A node closed behind the interposer's back (fdopen, then fclose) leaves its
// number marked; a register write whose model opens a state file then got that
// number back inside the card's lock. Prints "served" when the write returns.
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "zeb_requests.h"

int main()
{
    int first = open("/dev/dvb/adapter0/frontend0", O_RDWR | O_NONBLOCK);
    int second = open("/dev/dvb/adapter0/frontend0", O_RDONLY | O_NONBLOCK);
    if (first < 0 || second < 0)
        return 3;
    fclose(fdopen(first, "r"));
    reg_record r{0x48, 1};
    int result = ioctl(second, REG_WRITE, &r);
    printf("served %d\n", result);
    return result == 0 ? 0 : 1;
}
