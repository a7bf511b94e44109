// SPDX-License-Identifier: GPL-2.0-or-later
#include "state.h"

#include "config.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

namespace cardsim {

namespace {

// The interposer exports open and close; the model must not re-enter them.
int sys_openat(int dirfd, const char* name, int flags, mode_t mode = 0)
{
    return int(syscall(SYS_openat, dirfd, name, flags, mode));
}

void sys_close(int fd)
{
    if (fd >= 0)
        syscall(SYS_close, fd);
}

std::string describe(const std::string& what, int err) { return what + ": " + strerror(err); }


// Every state file: no link followed, no FIFO waited for, not inherited by programs.
constexpr int open_flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

bool write_all(int fd, const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

// Owner read and write only, whatever the umask made of the mode.
bool make_private(int fd, mode_t mode)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    return (st.st_mode & 07777) == mode || fchmod(fd, mode) == 0;
}

// A new temporary beside `name`, made exclusively so that no planted file or link is written through.
int make_temp(int dirfd, const char* name, std::string& tmp)
{
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        char suffix[48];
        snprintf(suffix, sizeof suffix, ".tmp.%d.%08lx", int(getpid()),
                 (unsigned long)(ts.tv_nsec ^ (long(++counter) << 20)) & 0xffffffffUL);
        tmp = std::string(name) + suffix;
        int fd = sys_openat(dirfd, tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | open_flags, 0600);
        if (fd >= 0 || errno != EEXIST) {
            if (fd >= 0 && !make_private(fd, 0600)) {
                int e = errno;
                sys_close(fd);
                unlinkat(dirfd, tmp.c_str(), 0);
                errno = e;
                return -1;
            }
            return fd;
        }
    }
    return -1;
}

bool read_fd(int fd, std::string& out, size_t limit)
{
    out.clear();
    char buf[512];
    while (out.size() < limit) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        out.append(buf, size_t(n));
    }
    return true;
}

// Opens a state file for reading; it must be a regular file.
int open_regular(int dirfd, const char* name, int flags)
{
    int fd = sys_openat(dirfd, name, flags | open_flags);
    if (fd < 0)
        return -1;
    struct stat st;
    int e = 0;
    if (fstat(fd, &st) != 0)
        e = errno;
    else if (!S_ISREG(st.st_mode))
        e = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    if (e) {
        sys_close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

// n hex digits at `at`, nothing else (no sign, space or 0x that sscanf would take).
bool hex_field(const std::string& line, size_t at, size_t n, unsigned& out)
{
    out = 0;
    for (size_t i = at; i < at + n; ++i) {
        char c = line[i];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0)
            return false;
        out = out << 4 | unsigned(d);
    }
    return true;
}

// Lines exactly as format_registers writes them: "0x48 0x%08x\n".
bool parse_registers(const std::string& text, saved_registers& out)
{
    saved_registers r;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            return false;
        std::string line = text.substr(start, end - start);
        start = end + 1;
        unsigned addr = 0, value = 0;
        if (line.size() != 15 || line.compare(0, 2, "0x") != 0 || !hex_field(line, 2, 2, addr) ||
            line.compare(4, 3, " 0x") != 0 || !hex_field(line, 7, 8, value))
            return false;
        if (!register_saved(addr) || !r.emplace(uint8_t(addr), value).second)
            return false;  // another register, or one twice
    }
    out = r;
    return true;
}

std::string format_registers(const saved_registers& r)
{
    std::string text;
    char line[32];
    for (const auto& [addr, value] : r) {
        snprintf(line, sizeof line, "0x%02x 0x%08x\n", unsigned(addr), value);
        text += line;
    }
    return text;
}

const char* const entry_names[] = {"eeprom", "registers", "flash", "eeprom.lock", "unknown"};

// Runs f when the scope ends, also when an allocation throws: the card's lock is never left held.
template <typename F>
struct on_exit {
    F f;
    ~on_exit() { f(); }
};
template <typename F>
on_exit(F) -> on_exit<F>;

// Real time, whatever the program's clock: the lock's bound is a real wait.
uint64_t monotonic_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * ns_per_second + uint64_t(ts.tv_nsec);
}

// A real pause (the interposer makes nanosleep virtual; ppoll it leaves alone).
void pause_ns(uint64_t ns)
{
    struct timespec ts = {time_t(ns / ns_per_second), long(ns % ns_per_second)};
    ppoll(nullptr, 0, &ts, nullptr);
}

std::string seconds_text(uint64_t ns)
{
    char buf[32];
    if (ns % ns_per_second == 0)
        snprintf(buf, sizeof buf, "%llu s", (unsigned long long)(ns / ns_per_second));
    else
        snprintf(buf, sizeof buf, "%.3f s", double(ns) / double(ns_per_second));
    return buf;
}

}  // namespace

uint64_t lock_wait_from_env()
{
    uint64_t ns = lock_wait_ns;
    const char* v = getenv("CARDSIM_LOCK_WAIT");
    if (v && !parse_seconds(v, ns).empty())
        ns = lock_wait_ns;
    return ns;
}

std::string parent_folder(const std::string& dir)
{
    size_t last = dir.find_last_not_of('/');
    size_t slash = last == std::string::npos ? std::string::npos : dir.rfind('/', last);
    if (slash == std::string::npos)
        return last == std::string::npos ? "/" : ".";
    size_t end = dir.find_last_not_of('/', slash);
    return end == std::string::npos ? "/" : dir.substr(0, end + 1);
}

std::string missing_parent_message(const std::string& dir)
{
    std::string parent = parent_folder(dir);
    return "cannot make the state folder " + dir + ": the folder " + parent +
           " does not exist (cardsim makes only the last folder of the path; make " + parent +
           " first, or use another folder)";
}

bool register_saved(unsigned addr) { return addr == zeb_reg::auto_format || addr == zeb_reg::preset; }

void factory_eeprom(const unsigned char mac[6], unsigned char out[eeprom_size])
{
    memset(out, 0, eeprom_size);
    memcpy(out + zeb_eeprom::mac, mac, zeb_eeprom::mac_length);
    out[zeb_eeprom::name_start] = zeb_eeprom::name;
    out[zeb_eeprom::auto_flag] = 1;
}

card_state::~card_state()
{
    sys_close(eeprom_fd_);
    sys_close(lock_fd_);
    sys_close(dir_fd_);
    if (flash_)
        munmap(flash_, flash_size);
}

void card_state::forget_descriptors()
{
    // The descriptors stay open in the child, but the program may reuse their numbers: stop using them.
    eeprom_fd_ = -1;
    lock_fd_ = -1;
    dir_fd_ = -1;
}

std::string card_state::open_folder(bool create)
{
    if (dir_fd_ >= 0)
        return "";
    if (create) {
        // What is made is private; parents only for cardsim's own default folder.
        size_t first = make_parents_ ? dir_.find('/', 1) : std::string::npos;
        for (size_t pos = first;; pos = dir_.find('/', pos + 1)) {
            std::string partial = dir_.substr(0, pos);
            if (!partial.empty() && mkdir(partial.c_str(), 0700) == 0) {
                int fd = sys_openat(AT_FDCWD, partial.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                if (fd >= 0) {
                    make_private(fd, 0700);
                    sys_close(fd);
                }
            } else if (!partial.empty() && errno != EEXIST) {
                if (errno == ENOENT && pos == std::string::npos)
                    return missing_parent_message(dir_);
                return describe("cannot create the state folder " + dir_, errno);
            }
            if (pos == std::string::npos)
                break;
        }
    }
    int fd = sys_openat(AT_FDCWD, dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOTDIR)
            return "the state folder " + dir_ + " is not a folder";
        return describe("cannot reach the state folder " + dir_, errno);
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int e = errno;
        sys_close(fd);
        return describe("cannot reach the state folder " + dir_, e);
    }
    if (st.st_uid != geteuid()) {
        sys_close(fd);
        return "unsafe state folder " + dir_ + ": it belongs to another user (uid " + std::to_string(st.st_uid) +
               "), who could make cardsim write where they choose; use a folder of your own, e.g. "
               "--state ~/.local/state/cardsim";
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        sys_close(fd);
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        return "unsafe state folder " + dir_ + ": group or others may write in it (mode " + mode +
               "); run chmod go-w on it, or use a folder of your own";
    }
    dir_fd_ = fd;
    dir_dev_ = st.st_dev;
    dir_ino_ = st.st_ino;
    return "";
}

std::string card_state::check_entries()
{
    for (const char* name : entry_names) {
        struct stat st;
        if (fstatat(dir_fd_, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            return describe("cannot reach " + path(name), errno);
        }
        if (S_ISLNK(st.st_mode))
            return "unsafe state: " + path(name) +
                   " is a symbolic link, which cardsim never follows; remove it, or use a folder of your own";
        if (!strcmp(name, "registers") || !strcmp(name, "unknown"))
            continue;  // read below, which names what is wrong
        if (!S_ISREG(st.st_mode))
            return "corrupt state: " + path(name) +
                   " is not a file (remove it or run cardsim --reset to make a new card)";
        if (!strcmp(name, "eeprom") && st.st_size != eeprom_size)
            return "corrupt state: " + path(name) + " has " + std::to_string((long long)st.st_size) +
                   " bytes, not 256 (remove the folder or run cardsim --reset to make a new card)";
        if (!strcmp(name, "flash") && st.st_size != flash_size)
            return "corrupt state: " + path(name) + " has " + std::to_string((long long)st.st_size) +
                   " bytes, not 4194304 (4 MiB) (run cardsim --reset to make a new card)";
    }
    saved_registers r;
    std::string err = load_registers(r);
    if (!err.empty())
        return err;
    std::vector<std::string> unknown;
    return load_unknown(unknown);
}

std::string card_state::check()
{
    if (folder_missing())
        return "";  // no card yet
    std::string err = open_folder(false);
    return err.empty() ? check_entries() : err;
}

std::string card_state::replace_file(const char* name, const void* data, size_t size)
{
    std::string tmp;
    int fd = make_temp(dir_fd_, name, tmp);
    if (fd < 0)
        return describe("cannot make a temporary file beside " + path(name), errno);
    bool ok = write_all(fd, data, size);
    int e = errno;
    sys_close(fd);
    if (!ok || renameat(dir_fd_, tmp.c_str(), dir_fd_, name) != 0) {
        e = ok ? errno : e;
        unlinkat(dir_fd_, tmp.c_str(), 0);
        return describe("cannot write " + path(name), e);
    }
    return "";
}

std::string card_state::write_factory_eeprom(const unsigned char mac[6])
{
    unsigned char image[eeprom_size];
    factory_eeprom(mac, image);
    return replace_file("eeprom", image, sizeof image);
}

bool card_state::open_lock(std::string& err)
{
    lock_fd_ = sys_openat(dir_fd_, "eeprom.lock", O_RDWR | O_CREAT | open_flags, 0600);
    struct stat st;
    if (lock_fd_ >= 0 && (fstat(lock_fd_, &st) != 0 || !S_ISREG(st.st_mode) || !make_private(lock_fd_, 0600))) {
        sys_close(lock_fd_);
        lock_fd_ = -1;
        errno = EINVAL;
    }
    if (lock_fd_ < 0) {
        err = errno == ELOOP ? "unsafe state: " + path("eeprom.lock") +
                                   " is a symbolic link, which cardsim never follows; remove it"
                             : describe("cannot open the lock file " + path("eeprom.lock"), errno);
        return false;
    }
    lock_dev_ = st.st_dev;
    lock_ino_ = st.st_ino;
    return true;
}

// Who holds the lock, as the kernel lists it: " by process N", or "" when it does not say.
std::string card_state::lock_holder() const
{
    int fd = sys_openat(AT_FDCWD, "/proc/locks", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    std::string text;
    bool ok = read_fd(fd, text, 1 << 20);
    sys_close(fd);
    std::string pids;
    for (size_t start = 0; ok && start < text.size();) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        char type[16], kind[16], mode[16];
        int pid;
        unsigned maj, min;
        unsigned long long ino;
        // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a waiter's line has "->" and does not match.
        if (sscanf(line.c_str(), "%*d: %15s %15s %15s %d %x:%x:%llu", type, kind, mode, &pid, &maj, &min, &ino) != 7 ||
            ino != (unsigned long long)lock_ino_ || maj != major(lock_dev_) || min != minor(lock_dev_) || pid <= 0)
            continue;
        std::string p = std::to_string(pid);
        if ((" " + pids + ",").find(" " + p + ",") == std::string::npos)
            pids += (pids.empty() ? "" : ", ") + p;
    }
    if (pids.empty())
        return "";
    return (pids.find(',') == std::string::npos ? " by process " : " by processes ") + pids;
}

// Takes the lock within the bound, in real time, backing off from a few
// yields to pauses of up to 20 ms (the lock is held for microseconds).
bool card_state::wait_for_lock(int how, std::string& err)
{
    uint64_t start = 0, pause = 20000;
    for (unsigned tries = 0;; ++tries) {
        if (flock(lock_fd_, how | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            err = describe("cannot lock " + path("eeprom.lock"), errno);
            return false;
        }
        if (tries < 8) {
            sched_yield();
            continue;
        }
        uint64_t now = monotonic_ns();
        if (start == 0)
            start = now;
        if (now - start >= lock_wait_ns_) {
            err = "the card's lock " + path("eeprom.lock") + " is held" + lock_holder() + " and was not released within " +
                  seconds_text(lock_wait_ns_) +
                  ": the request fails (is that program stopped, with Ctrl-Z or in a debugger?)";
            return false;
        }
        pause_ns(std::min(pause, lock_wait_ns_ - (now - start)));
        pause = std::min<uint64_t>(pause * 2, 20000000);
    }
}

// Is the folder at the path still the one whose files are open?
bool card_state::folder_moved() const
{
    struct stat st;
    return !(stat(dir_.c_str(), &st) == 0 && st.st_dev == dir_dev_ && st.st_ino == dir_ino_);
}

std::string card_state::folder_moved_message() const
{
    return "the state folder " + dir_ +
           " was moved, removed or replaced while the program ran: the request fails (nothing is written into a "
           "folder that nobody sees)";
}

bool card_state::lock_card(int how, std::string& err)
{
    for (int attempt = 0;; ++attempt) {
        if (lock_fd_ < 0 && !open_lock(err))
            return false;
        if (!wait_for_lock(how, err))
            return false;
        // A reader only needs the EEPROM's look at its path (follow_eeprom),
        // which tells a folder moved as well: reads lose no write.
        if (how == LOCK_SH)
            return true;
        // One look through the whole path: it reaches the locked file only while
        // neither the folder nor its lock file was moved, removed or replaced.
        struct stat st;
        if (lstat(lock_path_.c_str(), &st) == 0 && st.st_dev == lock_dev_ && st.st_ino == lock_ino_)
            return true;
        unlock_card();
        if (folder_moved()) {
            err = folder_moved_message();
            return false;
        }
        // A lock file removed or replaced is locked by no one else: take the one at the path.
        sys_close(lock_fd_);
        lock_fd_ = -1;
        if (attempt == 3) {
            err = "the lock file " + path("eeprom.lock") + " keeps changing while the program runs";
            return false;
        }
    }
}

void card_state::unlock_card() { flock(lock_fd_, LOCK_UN); }

std::string card_state::prepare(const unsigned char mac[6])
{
    std::string err = check();
    if (!err.empty())
        return err;
    if (!(err = open_folder(true)).empty())
        return err;
    if (!lock_card(LOCK_EX, err))
        return err;
    {
        on_exit unlock{[this] { unlock_card(); }};
        struct stat st;
        if (fstatat(dir_fd_, "eeprom", &st, AT_SYMLINK_NOFOLLOW) != 0)
            err = errno == ENOENT ? write_factory_eeprom(mac) : describe("cannot reach " + path("eeprom"), errno);
    }
    // An EEPROM the caller cannot read and write is refused now, not at the first request.
    if (err.empty() && eeprom_fd_ < 0)
        err = open_eeprom();
    return err;
}

std::string card_state::reset(const unsigned char mac[6])
{
    std::string err = open_folder(true);
    if (!err.empty() || !lock_card(LOCK_EX, err))
        return err;
    on_exit unlock{[this] { unlock_card(); }};
    err = write_factory_eeprom(mac);
    for (const char* name : {"flash", "registers", "unknown"}) {
        if (err.empty() && unlinkat(dir_fd_, name, 0) != 0 && errno != ENOENT)
            err = describe("cannot remove " + path(name), errno);
    }
    return err;
}

// Under the card's lock: does "eeprom" still name the open file? A file put in
// its place (cardsim --reset, an editor's save) is the card that everyone now
// sees, so the program goes on with it; a file removed, renamed away or cut
// fails the request. The path is looked at every time: link count and size of
// the open file do not tell a file renamed away and another linked in.
std::string card_state::follow_eeprom()
{
    struct stat path_st;
    // One look through the whole path tells the folder and the file at once.
    if (lstat(eeprom_path_.c_str(), &path_st) == 0 && path_st.st_dev == eeprom_dev_ &&
        path_st.st_ino == eeprom_ino_ && path_st.st_size == eeprom_size)
        return "";
    if (folder_moved())
        return folder_moved_message();
    if (fstatat(dir_fd_, "eeprom", &path_st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)
            return describe("cannot reach " + path("eeprom"), errno);
        struct stat open_st;
        bool renamed = fstat(eeprom_fd_, &open_st) == 0 && open_st.st_nlink > 0;
        return "the EEPROM file " + path("eeprom") + (renamed ? " was renamed away" : " was removed") +
               " while the program ran: the request fails (the next run makes a new card)";
    }
    if (path_st.st_dev != eeprom_dev_ || path_st.st_ino != eeprom_ino_) {
        if (S_ISLNK(path_st.st_mode))
            return "unsafe state: " + path("eeprom") + " is a symbolic link, which cardsim never follows";
        if (!S_ISREG(path_st.st_mode) || path_st.st_size != eeprom_size)
            return "corrupt state: " + path("eeprom") + " was replaced by something that is not a 256-byte file";
        std::string err = open_eeprom();
        if (!err.empty())
            return err;
        if (path_st.st_dev != eeprom_dev_ || path_st.st_ino != eeprom_ino_)
            return "the EEPROM file " + path("eeprom") + " keeps changing while the program runs";
    }
    if (path_st.st_size != eeprom_size)
        return "the EEPROM file " + path("eeprom") + " was cut to " + std::to_string((long long)path_st.st_size) +
               " bytes while the program ran: the request fails (run cardsim --reset to make a new card)";
    return "";
}

std::string card_state::open_eeprom()
{
    std::string err = open_folder(false);
    if (!err.empty())
        return err;
    int fd = open_regular(dir_fd_, "eeprom", O_RDWR);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        int e = errno;
        sys_close(fd);
        if (e == ENOENT)
            return "the EEPROM file " + path("eeprom") + " was removed while the program ran";
        if (e == EACCES || e == EPERM)
            return "cannot open " + path("eeprom") + " for reading and writing: " + strerror(e) +
                   " (the card's EEPROM must be yours to read and write; chmod u+rw it, or run cardsim --reset)";
        return describe("cannot open " + path("eeprom"), e);
    }
    sys_close(eeprom_fd_);
    eeprom_fd_ = fd;
    eeprom_dev_ = st.st_dev;
    eeprom_ino_ = st.st_ino;
    return "";
}

bool card_state::eeprom_access(bool write, unsigned addr, unsigned n, unsigned char* data, std::string& err)
{
    if (!(err = open_folder(false)).empty())
        return false;
    if (eeprom_fd_ < 0 && !(err = open_eeprom()).empty())
        return false;
    if (!lock_card(write ? LOCK_EX : LOCK_SH, err))
        return false;
    on_exit unlock{[this] { unlock_card(); }};
    err = follow_eeprom();
    if (err.empty()) {
        addr %= eeprom_size;
        // Addresses wrap at the end, so an access is at most two runs.
        unsigned first = std::min(n, eeprom_size - addr);
        bool ok;
        if (write) {
            ok = pwrite(eeprom_fd_, data, first, addr) == ssize_t(first) &&
                 (first == n || pwrite(eeprom_fd_, data + first, n - first, 0) == ssize_t(n - first));
        } else {
            ok = pread(eeprom_fd_, data, first, addr) == ssize_t(first) &&
                 (first == n || pread(eeprom_fd_, data + first, n - first, 0) == ssize_t(n - first));
        }
        if (!ok)
            err = describe(std::string(write ? "cannot write " : "cannot read ") + path("eeprom"),
                           errno ? errno : EIO);
    }
    return err.empty();
}

bool card_state::eeprom_read(unsigned addr, unsigned n, unsigned char* out, std::string& err)
{
    return eeprom_access(false, addr, n, out, err);
}

bool card_state::eeprom_write(unsigned addr, unsigned n, const unsigned char* in, std::string& err)
{
    return eeprom_access(true, addr, n, const_cast<unsigned char*>(in), err);
}

bool card_state::folder_missing() const
{
    struct stat st;
    return dir_fd_ < 0 && stat(dir_.c_str(), &st) != 0 && errno == ENOENT;
}

std::string card_state::load_registers(saved_registers& out)
{
    if (folder_missing()) {
        out = saved_registers();
        return "";
    }
    std::string err = open_folder(false);
    if (!err.empty())
        return err;
    std::string text;
    int fd = open_regular(dir_fd_, "registers", O_RDONLY);
    if (fd < 0) {
        if (errno == ENOENT) {
            out = saved_registers();
            return "";
        }
        return describe("cannot read " + path("registers"), errno);
    }
    bool ok = read_fd(fd, text, 4096);
    int e = errno;
    sys_close(fd);
    if (!ok)
        return describe("cannot read " + path("registers"), e);
    if (!parse_registers(text, out))
        return "corrupt state: " + path("registers") +
               " is not lines of \"0x48 0x%08x\" and \"0x4c 0x%08x\" (run cardsim --reset to make a new card)";
    return "";
}

std::string card_state::save_register(unsigned addr, uint32_t value)
{
    std::string err = open_folder(false);
    if (!err.empty() || !lock_card(LOCK_EX, err))
        return err;
    on_exit unlock{[this] { unlock_card(); }};
    saved_registers r;
    load_registers(r);  // a corrupt file is replaced by what this write knows
    r[uint8_t(addr)] = value;
    std::string text = format_registers(r);
    return replace_file("registers", text.data(), text.size());
}

std::string card_state::map_flash()
{
    std::string err;
    if (!lock_card(LOCK_EX, err))
        return err;
    int fd;
    {
        on_exit unlock{[this] { unlock_card(); }};
        fd = open_regular(dir_fd_, "flash", O_RDWR);
        if (fd < 0 && errno == ENOENT) {
            // Created erased, as a new chip comes.
            std::string tmp;
            int t = make_temp(dir_fd_, "flash", tmp);
            bool ok = t >= 0;
            if (ok) {
                static unsigned char erased[65536];
                memset(erased, 0xff, sizeof erased);
                for (uint32_t done = 0; ok && done < flash_size; done += sizeof erased)
                    ok = write_all(t, erased, sizeof erased);
                sys_close(t);
            }
            if (ok && renameat(dir_fd_, tmp.c_str(), dir_fd_, "flash") == 0) {
                fd = open_regular(dir_fd_, "flash", O_RDWR);
            } else {
                int e = errno;
                if (t >= 0)
                    unlinkat(dir_fd_, tmp.c_str(), 0);
                errno = e;
                fd = -1;
            }
    }
    }
    if (fd < 0)
        return describe("cannot open " + path("flash"), errno);
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size != flash_size) {
        sys_close(fd);
        return "corrupt state: " + path("flash") + " is not 4194304 bytes (4 MiB)";
    }
    void* map = mmap(nullptr, flash_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int e = errno;
    sys_close(fd);
    if (map == MAP_FAILED)
        return describe("cannot map " + path("flash"), e);
    flash_ = static_cast<unsigned char*>(map);
    flash_dev_ = st.st_dev;
    flash_ino_ = st.st_ino;
    return "";
}

unsigned char* card_state::flash(std::string& err)
{
    if (!(err = open_folder(false)).empty())
        return nullptr;
    if (folder_moved()) {
        err = folder_moved_message();
        return nullptr;
    }
    if (flash_) {
        // Another file in its place, or none (a reset): the card everyone now sees.
        struct stat st;
        bool same = fstatat(dir_fd_, "flash", &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == flash_dev_ &&
                    st.st_ino == flash_ino_;
        if (same && st.st_size != flash_size) {
            err = "the flash file " + path("flash") + " was cut to " + std::to_string((long long)st.st_size) +
                  " bytes while the program ran: the request fails (run cardsim --reset to make a new card)";
            return nullptr;
        }
        if (same)
            return flash_;
        munmap(flash_, flash_size);
        flash_ = nullptr;
    }
    err = map_flash();
    return flash_;
}

bool card_state::read_image(const char* name, size_t size, std::vector<unsigned char>& out)
{
    if (folder_missing()) {
        errno = ENOENT;
        return false;
    }
    if (!open_folder(false).empty()) {
        errno = EACCES;
        return false;
    }
    int fd = open_regular(dir_fd_, name, O_RDONLY);
    if (fd < 0)
        return false;
    std::string bytes;
    bool ok = read_fd(fd, bytes, size + 1);
    int e = errno;
    sys_close(fd);
    if (!ok || bytes.size() != size) {
        errno = ok ? EINVAL : e;
        return false;
    }
    out.assign(bytes.begin(), bytes.end());
    return true;
}

std::string card_state::node_lock_name(unsigned adapter, unsigned frontend)
{
    return "adapter" + std::to_string(adapter) + "-frontend" + std::to_string(frontend) + ".lock";
}

int card_state::open_node_lock(unsigned adapter, unsigned frontend, int flags, std::string& err)
{
    if (!(err = open_folder(false)).empty())
        return -1;
    std::string name = node_lock_name(adapter, frontend);
    int fd = sys_openat(dir_fd_, name.c_str(), O_RDONLY | O_CREAT | open_flags, 0600);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        sys_close(fd);
        fd = -1;
        err = "corrupt state: " + path(name.c_str()) + " is not a file (remove it)";
        return -1;
    }
    if (fd < 0) {
        err = errno == ELOOP ? "unsafe state: " + path(name.c_str()) +
                                   " is a symbolic link, which cardsim never follows; remove it"
                             : describe("cannot open " + path(name.c_str()), errno);
        return -1;
    }
    if (st.st_uid == geteuid())
        make_private(fd, 0600);
    // The node's descriptor keeps the program's own O_CLOEXEC and O_NONBLOCK.
    if (!(flags & O_CLOEXEC))
        fcntl(fd, F_SETFD, 0);
    if (!(flags & O_NONBLOCK))
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::string card_state::note_unknown(const std::string& what)
{
    if (std::find(noted_.begin(), noted_.end(), what) != noted_.end())
        return "";
    noted_.push_back(what);
    std::string err = open_folder(false);
    if (!err.empty() || !lock_card(LOCK_EX, err))
        return err;
    on_exit unlock{[this] { unlock_card(); }};
    std::string line = what + "\n";
    int fd = sys_openat(dir_fd_, "unknown", O_WRONLY | O_APPEND | O_CREAT | open_flags, 0600);
    bool ok = fd >= 0 && write_all(fd, line.data(), line.size());
    int e = errno;
    if (fd >= 0)
        sys_close(fd);
    return ok ? "" : describe("cannot write " + path("unknown"), e);
}

std::string card_state::load_unknown(std::vector<std::string>& out)
{
    out.clear();
    if (folder_missing())
        return "";
    std::string err = open_folder(false);
    if (!err.empty())
        return err;
    int fd = open_regular(dir_fd_, "unknown", O_RDONLY);
    if (fd < 0)
        return errno == ENOENT ? "" : describe("cannot read " + path("unknown"), errno);
    std::string text;
    bool ok = read_fd(fd, text, 1 << 20);
    int e = errno;
    sys_close(fd);
    if (!ok)
        return describe("cannot read " + path("unknown"), e);
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
