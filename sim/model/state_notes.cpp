// SPDX-License-Identifier: GPL-2.0-or-later
#include "state_notes.h"

#include "raw_sys.h"

#include <algorithm>
#include <cerrno>
#include <sys/file.h>

namespace cardsim {

std::string unknown_notes::note(const std::string& what)
{
    if (std::find(noted_.begin(), noted_.end(), what) != noted_.end())
        return "";
    noted_.push_back(what);
    std::string err = folder_.open(false);
    if (!err.empty() || !lock_.lock(LOCK_EX, err))
        return err;
    unlock_at_exit unlock(lock_);
    std::string line = what + "\n";
    int fd = raw::sys_openat(folder_.fd(), "unknown", O_WRONLY | O_APPEND | O_CREAT | state_open_flags, 0600);
    bool ok = fd >= 0 && write_all(fd, line.data(), line.size());
    int e = errno;
    if (fd >= 0)
        close_fd(fd);
    return ok ? "" : describe_error("cannot write " + folder_.path("unknown"), e);
}

std::string unknown_notes::load(std::vector<std::string>& out)
{
    out.clear();
    if (folder_.missing())
        return "";
    std::string err = folder_.open(false);
    if (!err.empty())
        return err;
    int fd = open_regular(folder_.fd(), "unknown", O_RDONLY);
    if (fd < 0)
        return errno == ENOENT ? "" : describe_error("cannot read " + folder_.path("unknown"), errno);
    std::string text;
    bool ok = read_fd(fd, text, 1 << 20);
    int e = errno;
    close_fd(fd);
    if (!ok)
        return describe_error("cannot read " + folder_.path("unknown"), e);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && std::find(out.begin(), out.end(), line) == out.end())
            out.push_back(line);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return "";
}

}  // namespace cardsim
