// SPDX-License-Identifier: GPL-2.0-or-later
#include "run.h"

#include "exec32.h"
#include "zeb_card.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

void drain(int out_fd, int err_fd, Result& r)
{
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open_count = 2;
    char buf[65536];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error("poll failed");
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
}

}  // namespace

Result run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
           const std::string& stdin_text)
{
    int out[2], err[2], in[2];
    if (pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC) || pipe2(in, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    std::string path = cardsim::find_program(argv.at(0));
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (const auto& e : env)
            putenv(strdup(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (path.empty())
            errno = ENOENT;
        else
            cardsim::exec_program(path, args.data());
        dprintf(2, "cannot run %s: %s\n", argv[0].c_str(), strerror(errno));
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    close(in[0]);
    if (!stdin_text.empty()) {
        ssize_t ignored = write(in[1], stdin_text.data(), stdin_text.size());
        (void)ignored;
    }
    close(in[1]);
    Result r;
    drain(out[0], err[0], r);
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    return r;
}

bool kernel_runs(const std::string& program)
{
    if (cardsim::elf_bits(program) != 32)
        return true;
#ifdef CARDSIM_FORCE_QEMU_DEFAULT
    return false;
#else
    if (getenv("CARDSIM_FORCE_QEMU"))
        return false;
#endif
    // Whether this kernel runs 32-bit programs at all, found once by starting one.
    static const int native = [&program] {
        pid_t pid = fork();
        if (pid == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            execl(program.c_str(), program.c_str(), "--kernel-runs-probe", (char*)nullptr);
            _exit(errno == ENOEXEC ? 99 : 98);
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return !(WIFEXITED(status) && WEXITSTATUS(status) == 99);
    }();
    return native;
}

std::string as_command(const std::string& program)
{
    return kernel_runs(program) ? program : "qemu-i386 " + program;
}

bool serve_a_shell(const std::string& other_class_preload)
{
    if (cardsim::elf_bits("/bin/sh") == int(sizeof(void*) * 8))
        return true;
    if (cardsim::elf_bits(other_class_preload) == 0)
        return false;
    setenv(sizeof(void*) == 8 ? "CARDSIM_PRELOAD_32" : "CARDSIM_PRELOAD_64", other_class_preload.c_str(), 1);
    return true;
}

namespace {

std::vector<std::string> g_temp_dirs;
pid_t g_temp_owner;

int remove_entry(const char* path, const struct stat*, int, struct FTW*)
{
    remove(path);
    return 0;
}

// Only the process that made the folders removes them, not a forked child.
void remove_temp_dirs()
{
    if (getpid() != g_temp_owner)
        return;
    for (const auto& dir : g_temp_dirs)
        nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

std::string make_temp_dir(const std::string& tag)
{
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/ravelin-" + tag + "-XXXXXX";
    if (!mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed");
    if (g_temp_dirs.empty()) {
        g_temp_owner = getpid();
        atexit(remove_temp_dirs);
    }
    g_temp_dirs.push_back(templ);
    return templ;
}

std::vector<unsigned char> factory_eeprom()
{
    std::vector<unsigned char> image(zeb_eeprom::size, 0);
    const unsigned char mac[zeb_eeprom::mac_length] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    std::copy(mac, mac + zeb_eeprom::mac_length, image.begin() + zeb_eeprom::mac);
    image[zeb_eeprom::name_start] = zeb_eeprom::name;
    image[zeb_eeprom::auto_flag] = 1;
    return image;
}

bool store_eeprom(const std::string& dir, const std::vector<std::pair<int, std::vector<unsigned char>>>& changes)
{
    std::vector<unsigned char> e = factory_eeprom();
    for (const auto& [addr, bytes] : changes)
        std::copy(bytes.begin(), bytes.end(), e.begin() + addr);
    FILE* f = std::fopen((dir + "/eeprom").c_str(), "wb");
    if (!f)
        return false;
    const bool written = std::fwrite(e.data(), 1, e.size(), f) == e.size();
    return std::fclose(f) == 0 && written;
}

std::string eeprom_hex(const std::string& dir, int from, int count)
{
    const std::string bytes = read_file(dir + "/eeprom");
    std::string out;
    char b[4];
    for (int i = from; i < from + count; ++i) {
        std::snprintf(b, sizeof b, "%s%02x", i == from ? "" : " ", (unsigned char)bytes.at(i));
        out += b;
    }
    return out;
}

std::vector<std::string> trace_events(const std::string& dir)
{
    std::vector<std::string> out;
    std::istringstream in(read_file(dir + "/trace"));
    std::string line;
    while (std::getline(in, line))
        out.push_back(line.substr(line.find(' ') + 1));
    return out;
}

int count_events(const std::string& dir, const std::string& prefix)
{
    const auto t = trace_events(dir);
    return int(std::count_if(t.begin(), t.end(), [&](const std::string& e) { return e.rfind(prefix, 0) == 0; }));
}

Result run_under_cardsim(const std::string& cardsim, const std::string& dir, const std::string& program,
                         const std::vector<std::string>& args, const std::vector<std::string>& card,
                         const std::string& stdin_text, const std::vector<std::string>& env)
{
    std::vector<std::string> argv = {cardsim, "--state", dir, "--trace", dir + "/trace", "--busy-time", "0",
                                     "--request-time", "0"};
    argv.insert(argv.end(), card.begin(), card.end());
    argv.push_back("--");
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    std::remove((dir + "/trace").c_str());
    return run(argv, env, stdin_text);
}

std::string read_file(const std::string& path)
{
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return text;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

}  // namespace testsupport
