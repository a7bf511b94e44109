// SPDX-License-Identifier: GPL-2.0-or-later
#include "isolation.h"

#include "raw_sys.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace cardsim {

namespace {

constexpr unsigned dvb_major = 212;

bool is_dvb_device(const struct stat& st) { return S_ISCHR(st.st_mode) && major(st.st_rdev) == dvb_major; }

std::string failed(const std::string& what) { return what + ": " + strerror(errno); }

bool write_text(const char* path, const std::string& text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    return ok;
}

// Root builds the private /dev in a mount namespace of its own first; any
// other user in a new user namespace that maps only their own ids, so that a
// set-ID program inside gains nothing.
std::string enter_namespaces()
{
    if (geteuid() == 0 && unshare(CLONE_NEWNS) == 0)
        return "";
    // Without /proc the maps cannot be written, and an unmapped process would
    // be "nobody" to itself: do not start.
    if (access("/proc/self/uid_map", F_OK) != 0)
        return failed("/proc/self/uid_map");
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return failed("unshare");
    if (!write_text("/proc/self/setgroups", "deny"))
        return failed("/proc/self/setgroups");
    if (!write_text("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1\n"))
        return failed("/proc/self/uid_map");
    if (!write_text("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1\n"))
        return failed("/proc/self/gid_map");
    return "";
}

// Root's COMMAND could otherwise unmount the private /dev, mount a devtmpfs,
// go back to the machine's namespace or open a device by its handle. In a
// user namespace of its own, into whose mount namespace the one just built is
// copied, every mount and its flags are locked, and root's capabilities hold
// inside only. Every id maps to itself, so files keep their owners and
// set-ID programs work. Only a process outside may write such a map: a
// helper, forked before, writes it.
std::string confine_root(bool& entered)
{
    entered = false;
    int go[2];
    if (pipe2(go, O_CLOEXEC) != 0)
        return failed("pipe");
    pid_t self = getpid();
    pid_t helper = fork();
    if (helper < 0) {
        int e = errno;
        close(go[0]);
        close(go[1]);
        errno = e;
        return failed("fork");
    }
    if (helper == 0) {
        close(go[1]);
        char c = 0;
        if (read(go[0], &c, 1) != 1 || c != '1')
            _exit(1);
        std::string proc = "/proc/" + std::to_string(self);
        const char all[] = "0 0 4294967295\n";
        _exit(write_text((proc + "/uid_map").c_str(), all) && write_text((proc + "/gid_map").c_str(), all) ? 0 : 1);
    }
    close(go[0]);
    std::string err;
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        err = failed("unshare");
    entered = err.empty();
    ssize_t sent = write(go[1], err.empty() ? "1" : "0", 1);
    (void)sent;
    close(go[1]);
    int status = 0;
    while (waitpid(helper, &status, 0) < 0 && errno == EINTR) {
    }
    if (err.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
        err = "the id maps of root's user namespace could not be written";
    return err;
}

// Puts the entry `name` of the old /dev (the current folder) at /dev/name.
std::string copy_entry(int old_dir, int new_dir, const char* name, const char* target_dir)
{
    struct stat st;
    if (fstatat(old_dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? "" : failed(std::string("/dev/") + name);
    if (is_dvb_device(st))
        return "";
    std::string target = std::string(target_dir) + "/" + name;
    if (S_ISLNK(st.st_mode)) {
        // A link is resolved inside the private /dev: one into /dev/dvb finds the simulated node.
        char text[PATH_MAX];
        ssize_t n = readlinkat(old_dir, name, text, sizeof text - 1);
        if (n < 0)
            return failed("readlink " + target);
        text[n] = '\0';
        return symlinkat(text, new_dir, name) == 0 ? "" : failed("symlink " + target);
    }
    if (S_ISDIR(st.st_mode)) {
        if (mkdirat(new_dir, name, 0755) != 0)
            return failed("mkdir " + target);
    } else {
        int fd = openat(new_dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0)
            return failed("create " + target);
        close(fd);
    }
    // The old /dev is the current folder, so the relative name is the source.
    // An entry that cannot be bound is left out: a device fewer, never one more.
    if (mount(name, target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        unlinkat(new_dir, name, S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0);
    return "";
}

std::string copy_folder(int old_dir, int new_dir, const char* target_dir, bool top)
{
    int fd = openat(old_dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = fd < 0 ? nullptr : fdopendir(fd);
    if (!d) {
        if (fd >= 0)
            close(fd);
        return failed(std::string("read ") + target_dir);
    }
    std::string err;
    while (const dirent* e = readdir(d)) {
        const char* name = e->d_name;
        if (!strcmp(name, ".") || !strcmp(name, ".."))
            continue;
        // The kernel's other names of the DVB devices: /dev/char/212:N.
        if (!top && !strncmp(name, "212:", 4))
            continue;
        if (top && !strcmp(name, "dvb"))
            continue;
        if (top && !strcmp(name, "char")) {
            int old_char = openat(old_dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (old_char < 0)
                continue;  // not a folder: left out
            int new_char = -1;
            if (mkdirat(new_dir, name, 0755) != 0 ||
                (new_char = openat(new_dir, name, O_PATH | O_DIRECTORY | O_CLOEXEC)) < 0)
                err = failed("mkdir /dev/char");
            else if (fchdir(old_char) != 0)
                err = failed("/dev/char");
            else
                err = copy_folder(old_char, new_char, "/dev/char", false);
            if (err.empty() && fchdir(old_dir) != 0)
                err = failed("/dev");
            close(old_char);
            if (new_char >= 0)
                close(new_char);
        } else {
            err = copy_entry(old_dir, new_dir, name, target_dir);
        }
        if (!err.empty())
            break;
    }
    closedir(d);
    return err;
}

std::string make_nodes(int new_dev, const node_list& nodes)
{
    if (mkdirat(new_dev, "dvb", 0755) != 0)
        return failed("mkdir /dev/dvb");
    for (const auto& node : nodes) {
        std::string adapter = "dvb/adapter" + std::to_string(node.first);
        std::string frontend = adapter + "/frontend" + std::to_string(node.second);
        if (mkdirat(new_dev, adapter.c_str(), 0755) != 0 && errno != EEXIST)
            return failed("mkdir /dev/" + adapter);
        // An empty file: listed where a program looks, served by the
        // interposer, and nothing but an empty file to a program without it.
        // Straight to the kernel: inside another cardsim's run, its
        // interposer would take the path for one of its own nodes.
        int fd = raw::sys_openat(new_dev, frontend.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            return failed("create /dev/" + frontend);
        fchmod(fd, 0666);
        close(fd);
    }
    return "";
}

// A mount point of /proc/self/mountinfo, whose spaces and the like are octal escapes.
std::string unescape(const char* text)
{
    std::string out;
    for (const char* p = text; *p; ++p) {
        if (p[0] == '\\' && p[1] >= '0' && p[1] <= '3' && p[2] >= '0' && p[2] <= '7' && p[3] >= '0' && p[3] <= '7') {
            out += char((p[1] - '0') * 64 + (p[2] - '0') * 8 + (p[3] - '0'));
            p += 3;
        } else {
            out += *p;
        }
    }
    return out;
}

// Device files outside the private /dev (a DVB device copied with mknod into
// some folder) open nothing: every other mount gets "nodev", where the kernel
// lets it be set.
void forbid_devices_elsewhere()
{
    FILE* f = fopen("/proc/self/mountinfo", "re");
    if (!f)
        return;
    char* line = nullptr;
    size_t cap = 0;
    while (getline(&line, &cap, f) > 0) {
        // mount ID, parent ID, major:minor, root, mount point, ...
        char* save = nullptr;
        char* field = strtok_r(line, " ", &save);
        for (int i = 1; field && i < 5; ++i)
            field = strtok_r(nullptr, " ", &save);
        if (!field)
            continue;
        std::string point = unescape(field);
        if (point == "/dev" || point.compare(0, 5, "/dev/") == 0)
            continue;
        struct mount_attr attr = {};
        attr.attr_set = MOUNT_ATTR_NODEV;
        if (syscall(SYS_mount_setattr, AT_FDCWD, point.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, &attr,
                    sizeof attr) == 0 ||
            errno != ENOSYS)
            continue;
        // Kernels before 5.12: a remount that keeps the locked flags.
        struct statvfs vfs;
        if (statvfs(point.c_str(), &vfs) != 0)
            continue;
        unsigned long flags = MS_REMOUNT | MS_BIND | MS_NODEV;
        const struct {
            unsigned long st, ms;
        } keep[] = {{ST_RDONLY, MS_RDONLY},     {ST_NOSUID, MS_NOSUID},         {ST_NOEXEC, MS_NOEXEC},
                    {ST_NOATIME, MS_NOATIME},   {ST_NODIRATIME, MS_NODIRATIME}, {ST_RELATIME, MS_RELATIME}};
        for (const auto& k : keep)
            if (vfs.f_flag & k.st)
                flags |= k.ms;
        mount(nullptr, point.c_str(), nullptr, flags, nullptr);
    }
    free(line);
    fclose(f);
}

// The private /dev over the real one; the current folder is the old /dev while it is made.
std::string build_dev(const node_list& nodes)
{
    // Nothing done here may reach the system's namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0)
        return failed("mount --make-rslave /");
    int old_dev = open("/dev", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (old_dev < 0)
        return failed("/dev");
    if (mount("cardsim", "/dev", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755,size=1m,nr_inodes=16384") !=
        0) {
        int e = errno;
        close(old_dev);
        errno = e;
        return failed("mount a tmpfs on /dev");
    }
    std::string err;
    int new_dev = open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (new_dev < 0)
        err = failed("/dev");
    else if (fchdir(old_dev) != 0)
        err = failed("/dev");
    if (err.empty())
        err = copy_folder(old_dev, new_dev, "/dev", true);
    if (err.empty())
        err = make_nodes(new_dev, nodes);
    // No one adds to it afterwards.
    if (err.empty() &&
        mount(nullptr, "/dev", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC,
              nullptr) != 0)
        err = failed("remount /dev read-only");
    if (err.empty()) {
        forbid_devices_elsewhere();
        // The system's /dev, now covered, is still reached from a folder
        // opened in it before: no device opens there either.
        struct mount_attr attr = {};
        attr.attr_set = MOUNT_ATTR_NODEV;
        syscall(SYS_mount_setattr, old_dev, "", AT_EMPTY_PATH, &attr, sizeof attr);
    }
    close(old_dev);
    if (new_dev >= 0)
        close(new_dev);
    if (!err.empty())
        umount2("/dev", MNT_DETACH);
    return err;
}

}  // namespace

namespace {

bool under_dev(const std::string& path) { return path == "/dev" || path.compare(0, 5, "/dev/") == 0; }

// A folder descriptor that COMMAND would inherit: it leads to the mount tree
// it was opened in, the machine's, past the private /dev.
struct inherited_folder {
    int fd;
    int flags;          // O_PATH or O_RDONLY, and the rest of F_GETFL
    std::string path;   // as /proc/self/fd names it
    struct stat st;
};

std::vector<inherited_folder> inherited_folders()
{
    std::vector<inherited_folder> found;
    DIR* d = opendir("/proc/self/fd");
    if (!d)
        return found;
    while (const dirent* e = readdir(d)) {
        char* end;
        long fd = strtol(e->d_name, &end, 10);
        inherited_folder f{int(fd), 0, "", {}};
        if (*end != '\0' || !e->d_name[0] || fd == dirfd(d) || fstat(f.fd, &f.st) != 0 || !S_ISDIR(f.st.st_mode))
            continue;
        int fd_flags = fcntl(f.fd, F_GETFD);
        if (fd_flags < 0 || (fd_flags & FD_CLOEXEC))
            continue;  // not handed on
        f.flags = fcntl(f.fd, F_GETFL);
        char text[PATH_MAX];
        std::string link = "/proc/self/fd/" + std::to_string(fd);
        ssize_t n = readlink(link.c_str(), text, sizeof text - 1);
        if (n > 0) {
            text[n] = '\0';
            f.path = text;
        }
        found.push_back(f);
    }
    closedir(d);
    return found;
}

// Opens the folder again by its path inside the private mount tree, at the
// same number: under /dev that is the private /dev's folder; elsewhere it
// must be the same folder. Else the run is refused, naming the descriptor.
std::string reopen(const inherited_folder& f)
{
    std::string name = "descriptor " + std::to_string(f.fd) + " (the folder " +
                       (f.path.empty() ? std::string("that /proc/self/fd does not name") : f.path) + ")";
    std::string fix = "; COMMAND would reach the machine's /dev through it: close it for cardsim (" +
                      std::to_string(f.fd) + "<&-)";
    if (f.path.empty() || f.path[0] != '/')
        return name + " cannot be opened again inside the private /dev" + fix;
    int flags = (f.flags & O_PATH ? O_PATH : O_RDONLY) | O_DIRECTORY | O_CLOEXEC | (f.flags & O_NONBLOCK);
    int fd = open(f.path.c_str(), flags);
    if (fd < 0)
        return failed(name + " cannot be opened again inside the private /dev") + fix;
    struct stat st;
    bool same = fstat(fd, &st) == 0 && (under_dev(f.path) || (st.st_dev == f.st.st_dev && st.st_ino == f.st.st_ino));
    bool moved = same && (fd == f.fd || dup3(fd, f.fd, 0) == f.fd);
    int e = errno;
    if (fd != f.fd)
        close(fd);
    if (!same)
        return name + " is another folder by that path inside the private /dev" + fix;
    if (!moved) {
        errno = e;
        return failed(name + " cannot be put back") + fix;
    }
    return "";
}

}  // namespace

isolation_result isolate(const node_list& nodes)
{
    isolation_result result;
    char cwd[PATH_MAX];
    bool have_cwd = getcwd(cwd, sizeof cwd) != nullptr;
    std::vector<inherited_folder> folders = inherited_folders();
    int here = -1;
    if ((result.why = enter_namespaces()).empty()) {
        // Opened in the new mount tree: the namespace's copy of the current folder.
        here = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
        result.why = build_dev(nodes);
    }
    result.done = result.why.empty();
    // A current folder under /dev is looked up again, in the private /dev;
    // any other is the namespace's copy of it.
    if (result.done && have_cwd && under_dev(cwd)) {
        if (chdir(cwd) != 0) {
            result.fatal = true;
            result.why = failed(std::string("the current folder ") + cwd + " is not in the private /dev");
        }
    } else if (here >= 0 && fchdir(here) != 0 && result.done) {
        result.fatal = true;
        result.why = failed("cannot return to the current folder");
    }
    if (here >= 0)
        close(here);
    if (!result.done || result.fatal)
        return result;
    if (geteuid() == 0) {
        bool entered = false;
        std::string why = confine_root(entered);
        if (!why.empty()) {
            result.root_free = "no user namespace for root: " + why;
            result.fatal = entered;  // in a namespace whose ids are not mapped
            if (entered)
                result.why = why;
        }
    }
    for (const auto& f : folders) {
        if (result.fatal)
            break;
        if (std::string why = reopen(f); !why.empty()) {
            result.fatal = true;
            result.why = why;
        }
    }
    return result;
}

namespace {

// Whether the entry is, or holds, anything but empty files: an adapter folder
// holds its devices; inside another cardsim's run /dev/dvb holds that run's
// simulated nodes, empty files, which are no real card.
bool holds_devices(int dir, const char* name, int depth)
{
    struct stat st;
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return true;
    if (S_ISREG(st.st_mode) && st.st_size == 0)
        return false;
    if (!S_ISDIR(st.st_mode) || depth == 0)
        return true;
    int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* d = fd < 0 ? nullptr : fdopendir(fd);
    if (!d) {
        if (fd >= 0)
            close(fd);
        return true;
    }
    bool found = false;
    while (const dirent* e = found ? nullptr : readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            found = holds_devices(dirfd(d), e->d_name, depth - 1);
    closedir(d);
    return found;
}

}  // namespace

bool real_dvb_nodes_exist()
{
    auto any = [](const char* path, bool (*match)(const char* name)) {
        DIR* d = opendir(path);
        if (!d)
            return false;
        bool found = false;
        while (const dirent* e = readdir(d))
            if (match(e->d_name)) {
                found = true;
                break;
            }
        closedir(d);
        return found;
    };
    struct stat dvb;
    if ((lstat("/dev/dvb", &dvb) == 0 && holds_devices(AT_FDCWD, "/dev/dvb", 2)) ||
        any("/dev/char", [](const char* n) { return strncmp(n, "212:", 4) == 0; }))
        return true;
    // A copy made with mknod under another name in /dev.
    DIR* d = opendir("/dev");
    if (!d)
        return false;
    bool found = false;
    while (const dirent* e = readdir(d)) {
        struct stat st;
        if (e->d_type == DT_CHR && fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            is_dvb_device(st)) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

int inherited_dvb_descriptor()
{
    DIR* d = opendir("/proc/self/fd");
    if (!d) {
        for (int fd = 0; fd < 1024; ++fd) {
            struct stat st;
            if (fstat(fd, &st) == 0 && is_dvb_device(st))
                return fd;
        }
        return -1;
    }
    int found = -1;
    while (const dirent* e = readdir(d)) {
        char* end;
        long fd = strtol(e->d_name, &end, 10);
        struct stat st;
        if (*end == '\0' && e->d_name[0] && fd != dirfd(d) && fstat(int(fd), &st) == 0 && is_dvb_device(st)) {
            found = int(fd);
            break;
        }
    }
    closedir(d);
    return found;
}

}  // namespace cardsim
