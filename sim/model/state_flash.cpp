// SPDX-License-Identifier: GPL-2.0-or-later
#include "state_flash.h"

#include <cerrno>
#include <cstring>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cardsim {

flash_file::~flash_file()
{
    if (map_)
        munmap(map_, flash_size);
}

std::string flash_file::map_file()
{
    std::string err;
    if (!lock_.lock(LOCK_EX, err))
        return err;
    int dirfd = folder_.fd();
    int fd;
    {
        unlock_at_exit unlock(lock_);
        fd = open_regular(dirfd, "flash", O_RDWR);
        if (fd < 0 && errno == ENOENT) {
            // Created erased, as a new chip comes.
            std::string tmp;
            int t = folder_.make_temp("flash", tmp);
            bool ok = t >= 0;
            if (ok) {
                static unsigned char erased[65536];
                memset(erased, 0xff, sizeof erased);
                for (uint32_t done = 0; ok && done < flash_size; done += sizeof erased)
                    ok = write_all(t, erased, sizeof erased);
                close_fd(t);
            }
            if (ok && renameat(dirfd, tmp.c_str(), dirfd, "flash") == 0) {
                fd = open_regular(dirfd, "flash", O_RDWR);
            } else {
                int e = errno;
                if (t >= 0)
                    unlinkat(dirfd, tmp.c_str(), 0);
                errno = e;
                fd = -1;
            }
        }
    }
    if (fd < 0)
        return describe_error("cannot open " + folder_.path("flash"), errno);
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size != flash_size) {
        close_fd(fd);
        return "corrupt state: " + folder_.path("flash") + " is not 4194304 bytes (4 MiB)";
    }
    void* map = mmap(nullptr, flash_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int e = errno;
    close_fd(fd);
    if (map == MAP_FAILED)
        return describe_error("cannot map " + folder_.path("flash"), e);
    map_ = static_cast<unsigned char*>(map);
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    return "";
}

unsigned char* flash_file::map(std::string& err)
{
    if (!(err = folder_.open(false)).empty())
        return nullptr;
    if (folder_.moved()) {
        err = folder_.moved_message();
        return nullptr;
    }
    if (map_) {
        // Another file in its place, or none (a reset): the card everyone now sees.
        struct stat st;
        bool same = fstatat(folder_.fd(), "flash", &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == dev_ &&
                    st.st_ino == ino_;
        if (same && st.st_size != flash_size) {
            err = "the flash file " + folder_.path("flash") + " was cut to " + std::to_string((long long)st.st_size) +
                  " bytes while the program ran: the request fails (run cardsim --reset to make a new card)";
            return nullptr;
        }
        if (same)
            return map_;
        munmap(map_, flash_size);
        map_ = nullptr;
    }
    err = map_file();
    return map_;
}

}  // namespace cardsim
