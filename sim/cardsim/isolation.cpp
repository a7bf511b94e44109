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
#include <sys/sysmacros.h>
#include <unistd.h>

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

// Root needs no user namespace (and keeps set-ID programs working inside);
// anyone else gets one that maps only their own ids.
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
    if (err.empty())
        forbid_devices_elsewhere();
    close(old_dev);
    if (new_dev >= 0)
        close(new_dev);
    if (!err.empty())
        umount2("/dev", MNT_DETACH);
    return err;
}

}  // namespace

isolation_result isolate(const node_list& nodes)
{
    isolation_result result;
    char cwd[PATH_MAX];
    bool have_cwd = getcwd(cwd, sizeof cwd) != nullptr;
    int here = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if ((result.why = enter_namespaces()).empty())
        result.why = build_dev(nodes);
    result.done = result.why.empty();
    // A current folder under /dev is looked up again, in the private /dev.
    bool in_dev = have_cwd && (!strcmp(cwd, "/dev") || !strncmp(cwd, "/dev/", 5));
    if (result.done && in_dev) {
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
