// SPDX-License-Identifier: GPL-2.0-or-later
// The card's state folder, checked, and the safe file operations in it.
//
// The folder may be shared with other processes and, by mistake, be reachable
// by other users: it must belong to the caller and be writable by no one else,
// and every entry is opened relative to the checked folder without following
// links. Files are made 0600 and the folder 0700 whatever the umask. All file
// access goes straight to the system calls (raw_sys.h), never through the
// interposer's own open and close.
#pragma once

#include <cstddef>
#include <fcntl.h>
#include <string>
#include <sys/types.h>

namespace cardsim {

// Every state file: no link followed, no FIFO waited for, not inherited by programs.
constexpr int state_open_flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// "what: the system's text for err".
std::string describe_error(const std::string& what, int err);
// Closes fd unless it is -1.
void close_fd(int fd);
bool write_all(int fd, const void* data, size_t size);
// Up to `limit` bytes of fd into out.
bool read_fd(int fd, std::string& out, size_t limit);
// Owner only (`mode`), whatever the umask made of it.
bool make_private(int fd, mode_t mode);
// Opens a state file; it must be a regular file.
int open_regular(int dirfd, const char* name, int flags);

// The folder that holds `dir` ("a/b/" gives "a", "/a" gives "/").
std::string parent_folder(const std::string& dir);
// Why a state folder whose parent folder is missing is not made: only the
// last folder of a path given to cardsim is made, never folders above it.
std::string missing_parent_message(const std::string& dir);

class state_folder {
public:
    explicit state_folder(std::string dir) : dir_(std::move(dir)) {}
    ~state_folder();
    state_folder(const state_folder&) = delete;
    state_folder& operator=(const state_folder&) = delete;

    const std::string& dir() const { return dir_; }
    std::string path(const char* name) const { return dir_ + "/" + name; }
    // Whether making the folder makes its missing parents too (cardsim's own
    // default folder); otherwise only the last folder is made.
    void make_parents(bool on) { make_parents_ = on; }

    // Opens and checks the folder, once; with `create` makes it first when missing. "" or what is wrong.
    std::string open(bool create);
    // The open folder's descriptor, -1 before open().
    int fd() const { return fd_; }
    // Not open and not there: no card yet.
    bool missing() const;
    // Is the folder at the path no longer the one whose files are open?
    bool moved() const;
    std::string moved_message() const;

    // Writes `name` whole through a temporary beside it and a rename.
    std::string replace_file(const char* name, const void* data, size_t size);
    // A new temporary beside `name`, made exclusively so that no planted file or link is written through.
    int make_temp(const char* name, std::string& tmp);

    // Drops the descriptor inherited over fork so that the child takes its own.
    void forget() { fd_ = -1; }

private:
    std::string make(bool create);

    std::string dir_;
    bool make_parents_ = false;
    int fd_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

}  // namespace cardsim
