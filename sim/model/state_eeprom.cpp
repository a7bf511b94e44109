// SPDX-License-Identifier: GPL-2.0-or-later
#include "state_eeprom.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cardsim {

void factory_eeprom(const unsigned char mac[6], unsigned char out[eeprom_size])
{
    memset(out, 0, eeprom_size);
    memcpy(out + zeb_eeprom::mac, mac, zeb_eeprom::mac_length);
    out[zeb_eeprom::name_start] = zeb_eeprom::name;
    out[zeb_eeprom::auto_flag] = 1;
}

std::string eeprom_file::write_factory(const unsigned char image[eeprom_size])
{
    return folder_.replace_file("eeprom", image, eeprom_size);
}

// Under the card's lock: does "eeprom" still name the open file? A file put in
// its place (cardsim --reset, an editor's save) is the card that everyone now
// sees, so the program goes on with it; a file removed, renamed away or cut
// fails the request. The path is looked at every time: link count and size of
// the open file do not tell a file renamed away and another linked in.
std::string eeprom_file::follow()
{
    struct stat path_st;
    // One look through the whole path tells the folder and the file at once.
    if (lstat(path_.c_str(), &path_st) == 0 && path_st.st_dev == dev_ && path_st.st_ino == ino_ &&
        path_st.st_size == eeprom_size)
        return "";
    if (folder_.moved())
        return folder_.moved_message();
    if (fstatat(folder_.fd(), "eeprom", &path_st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)
            return describe_error("cannot reach " + path_, errno);
        struct stat open_st;
        bool renamed = fstat(fd_, &open_st) == 0 && open_st.st_nlink > 0;
        return "the EEPROM file " + path_ + (renamed ? " was renamed away" : " was removed") +
               " while the program ran: the request fails (the next run makes a new card)";
    }
    if (path_st.st_dev != dev_ || path_st.st_ino != ino_) {
        if (S_ISLNK(path_st.st_mode))
            return "unsafe state: " + path_ + " is a symbolic link, which cardsim never follows";
        if (!S_ISREG(path_st.st_mode) || path_st.st_size != eeprom_size)
            return "corrupt state: " + path_ + " was replaced by something that is not a 256-byte file";
        std::string err = open();
        if (!err.empty())
            return err;
        if (path_st.st_dev != dev_ || path_st.st_ino != ino_)
            return "the EEPROM file " + path_ + " keeps changing while the program runs";
    }
    if (path_st.st_size != eeprom_size)
        return "the EEPROM file " + path_ + " was cut to " + std::to_string((long long)path_st.st_size) +
               " bytes while the program ran: the request fails (run cardsim --reset to make a new card)";
    return "";
}

std::string eeprom_file::open()
{
    std::string err = folder_.open(false);
    if (!err.empty())
        return err;
    int fd = open_regular(folder_.fd(), "eeprom", O_RDWR);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        int e = errno;
        close_fd(fd);
        if (e == ENOENT)
            return "the EEPROM file " + path_ + " was removed while the program ran";
        if (e == EACCES || e == EPERM)
            return "cannot open " + path_ + " for reading and writing: " + strerror(e) +
                   " (the card's EEPROM must be yours to read and write; chmod u+rw it, or run cardsim --reset)";
        return describe_error("cannot open " + path_, e);
    }
    close_fd(fd_);
    fd_ = fd;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    return "";
}

bool eeprom_file::access(bool write, unsigned addr, unsigned n, unsigned char* data, std::string& err)
{
    if (!(err = folder_.open(false)).empty())
        return false;
    if (fd_ < 0 && !(err = open()).empty())
        return false;
    if (!lock_.lock(write ? LOCK_EX : LOCK_SH, err))
        return false;
    unlock_at_exit unlock(lock_);
    err = follow();
    if (err.empty()) {
        addr %= eeprom_size;
        // Addresses wrap at the end, so an access is at most two runs.
        unsigned first = std::min(n, eeprom_size - addr);
        bool ok;
        if (write) {
            ok = pwrite(fd_, data, first, addr) == ssize_t(first) &&
                 (first == n || pwrite(fd_, data + first, n - first, 0) == ssize_t(n - first));
        } else {
            ok = pread(fd_, data, first, addr) == ssize_t(first) &&
                 (first == n || pread(fd_, data + first, n - first, 0) == ssize_t(n - first));
        }
        if (!ok)
            err = describe_error(std::string(write ? "cannot write " : "cannot read ") + path_, errno ? errno : EIO);
    }
    return err.empty();
}

bool eeprom_file::read(unsigned addr, unsigned n, unsigned char* out, std::string& err)
{
    return access(false, addr, n, out, err);
}

bool eeprom_file::write(unsigned addr, unsigned n, const unsigned char* in, std::string& err)
{
    return access(true, addr, n, const_cast<unsigned char*>(in), err);
}

}  // namespace cardsim
