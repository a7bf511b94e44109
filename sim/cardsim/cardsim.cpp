// SPDX-License-Identifier: GPL-2.0-or-later
// cardsim: runs a program against the simulated card, or shows or resets the card.

#include "config.h"
#include "faults.h"
#include "exec32.h"
#include "show.h"
#include "isolation.h"
#include "rack.h"
#include "state.h"
#include "text.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <getopt.h>
#include <memory>
#include <algorithm>
#include <csignal>
#include <ctime>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace cardsim;

namespace {

const char help_head[] =
    "Usage: cardsim [OPTIONS] -- COMMAND [ARGS...]   run COMMAND against the simulated card\n"
    "       cardsim [OPTIONS] --show                 print the stored card state, decoded\n"
    "       cardsim [OPTIONS] --reset                make the card new again (factory EEPROM, blank flash)\n"
    "       cardsim --help | --version | --list-faults\n"
    "\n"
    "cardsim simulates the HDMI capture card. COMMAND's open, close and ioctl calls on\n"
    "/dev/dvb/adapterN/frontendM are served by a model of the card (the interposer\n"
    "libcardsim.so, loaded with LD_PRELOAD); everything else COMMAND does goes to the\n"
    "real system. COMMAND and every program it starts run with a private /dev, in\n"
    "which /dev/dvb holds only the simulated nodes and no real DVB device exists, so\n"
    "no program of the tree reaches a real card, whether the interposer is loaded\n"
    "into it or not. 32-bit programs run as well as 64-bit ones (through qemu-i386\n"
    "where the kernel cannot run them). cardsim's exit status is COMMAND's.\n"
    "\n"
    "Options:\n";

const char help_tail[] =
    "\n"
    "Virtual time: sleep, usleep, nanosleep and clock_nanosleep return at once and\n"
    "advance COMMAND's virtual clock by the time asked for, and every request by\n"
    "--request-time; the card's busy times run on that clock, so a 2-second wait\n"
    "costs nothing. Clock reads stay real.\n"
    "\n"
    "State folder: eeprom (256 bytes), registers (last values written to 0x48 and\n"
    "0x4C), flash (4 MiB, made when first used), unknown (accesses the card did not\n"
    "know), and lock files. A second read-write open of a node that is open\n"
    "read-write, in any process sharing the state, fails with EBUSY.\n"
    "\n"
    "Rack: each --card (or line of --rack) is a card of its own at its node, with\n"
    "its own state folder (DIR/adapterA-frontendF) and its settings over the\n"
    "options'. Without --card and --rack the listed nodes are one card, in DIR.\n"
    "\n"
    "Examples:\n"
    "  cardsim -- ravelins -i                       read the input format\n"
    "  cardsim --signal 1280x720@50p -- ravelins -i\n"
    "  cardsim --fault receiver-busy --trace ~/card.trace -- ravelins -N\n"
    "                                               the receiver always busy\n"
    "  cardsim --state ~/card --show                what the card stores\n"
    "  cardsim --state ~/card --reset               a new card\n"
    "  cardsim --card 0:0 --card 1:0,mac=02:00:00:00:00:01,signal=none --card 2:0,deny \\\n"
    "          -- ravelinctl list                   three cards, one refusing its opener\n"
    "\n"
    "Bad options, malformed values, an unsafe state folder and unreadable or corrupt\n"
    "state exit with status 2 and leave the card untouched. A COMMAND that cannot be\n"
    "found exits 127, one that cannot be run 126.\n"
    "\n"
    "Where the system allows no private /dev (no user namespaces) and real DVB\n"
    "devices exist, cardsim says so once and refuses statically linked and set-ID\n"
    "COMMANDs (status 2): the interposer cannot be loaded into them.\n";

[[noreturn]] void usage_error(const std::string& text)
{
    fprintf(stderr, "cardsim: %s\nTry 'cardsim --help' for more information.\n", text.c_str());
    exit(2);
}

[[noreturn]] void die(const std::string& text, int status = 2)
{
    fprintf(stderr, "cardsim: %s\n", text.c_str());
    exit(status);
}

// $CARDSIM_STATE is the caller's own choice, like --state; the XDG folder is
// cardsim's, whose missing parents it may make.
std::string default_state_dir(bool& own)
{
    own = false;
    if (const char* s = getenv("CARDSIM_STATE"); s && *s)
        return s;
    own = true;
    if (const char* s = getenv("XDG_STATE_HOME"); s && *s)
        return std::string(s) + "/cardsim";
    if (const char* s = getenv("HOME"); s && *s)
        return std::string(s) + "/.local/state/cardsim";
    return "";
}

std::string absolute(const std::string& path)
{
    if (path.empty() || path[0] == '/')
        return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd))
        die(std::string("cannot find the current folder: ") + strerror(errno));
    return std::string(cwd) + "/" + path;
}

std::string dir_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Only the interposer exports this; any other library of the right class is refused.
constexpr char interposer_mark[] = "cardsim_interposer_version";

bool is_interposer(const std::string& path, int bits)
{
    return elf_bits(path) == bits && elf_exports(path, interposer_mark);
}

// Where the interposer of a class may be: CARDSIM_PRELOAD_32/64 (when set,
// the only place), then beside cardsim (a build tree), then the installed layout.
std::vector<std::string> interposer_places(int bits)
{
    const char* override_name = bits == 32 ? "CARDSIM_PRELOAD_32" : "CARDSIM_PRELOAD_64";
    if (const char* o = getenv(override_name); o && *o)
        return {o};
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return {};
    self[n] = '\0';
    std::string dir = dir_of(self);
    return {dir + "/libcardsim.so",
            dir + "/../lib/" + (bits == 32 ? "i386" : "x86_64") + "-linux-gnu/cardsim/libcardsim.so"};
}

// The interposer of the class, "" when there is none.
std::string interposer_of(int bits)
{
    const char* override_name = bits == 32 ? "CARDSIM_PRELOAD_32" : "CARDSIM_PRELOAD_64";
    if (const char* o = getenv(override_name); o && *o) {
        if (!is_interposer(o, bits))
            die(std::string(override_name) + "=" + o + " is not a " + std::to_string(bits) +
                "-bit libcardsim.so (it must be cardsim's interposer, which exports " + interposer_mark + ")");
        return absolute(o);
    }
    for (const auto& c : interposer_places(bits))
        if (is_interposer(c, bits))
            return c;
    return "";
}

std::string find_interposer(int bits)
{
    if (std::string found = interposer_of(bits); !found.empty())
        return found;
    std::string places;
    for (const auto& p : interposer_places(bits))
        places += (places.empty() ? "" : ", ") + p;
    die("no " + std::to_string(bits) + "-bit interposer found (looked for " +
        (places.empty() ? std::string("cardsim's own folder, which /proc/self/exe did not give") : places) +
        "); build the " + (bits == 32 ? "i386" : "x86-64") + " tree or set CARDSIM_PRELOAD_" +
        std::to_string(bits));
}

void put_env(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

std::string g_link_dir;  // the private folder of interposer links, removed at exit

void remove_link_dir()
{
    if (g_link_dir.empty())
        return;
    nftw(g_link_dir.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 8,
         FTW_DEPTH | FTW_PHYS);
    g_link_dir.clear();
}

// The loader splits LD_PRELOAD at spaces and colons, and expands what follows
// a dollar sign ($LIB, $ORIGIN): a path with one is not the file it names.
// The name of the first such character, or nullptr.
const char* loader_special(const std::string& path)
{
    for (char c : path)
        switch (c) {
        case ' ': return "a space";
        case ':': return "a colon";
        case '$': return "a dollar sign";
        }
    return nullptr;
}

// Where the folder of interposer links is made: under $TMPDIR, else /tmp.
std::string link_dir_template()
{
    const char* tmp = getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/cardsim-preload.XXXXXX";
}

// Refused before anything is made: the loader would skip an interposer in a
// folder whose path it splits, and say only "ignored".
void check_link_dir()
{
    std::string templ = link_dir_template();
    if (const char* c = loader_special(templ))
        die("cannot hand the interposer to the dynamic loader: the folder for its links, " +
            templ.substr(0, templ.rfind('/')) + " (TMPDIR), has " + c +
            ", which LD_PRELOAD cannot carry; set TMPDIR to a folder whose path has none");
}

// A private folder (mkdtemp) of links to the interposers, whose path the
// loader takes as it is. With both classes, one link for each expansion of
// the loader's $LIB on Debian (multiarch, and the multilib folders of the
// 32-bit compatibility loader), so that "<folder>/$LIB/libcardsim.so" names
// the interposer of whichever class the loaded program has. The interposers'
// paths are found before COMMAND's namespace is made: inside one made in a
// chroot, /proc/self/exe and the current folder may no longer be reachable.
std::string link_interposers(const std::string& interposer32, const std::string& interposer64)
{
    std::string templ = link_dir_template();
    if (!mkdtemp(templ.data()))
        die("cannot make a private folder for the interposer links (" + templ + "): " + strerror(errno));
    g_link_dir = templ;
    const struct {
        const char* dir;
        int bits;
    } per_class[] = {
        {"lib/x86_64-linux-gnu", 64}, {"lib64", 64}, {"lib/i386-linux-gnu", 32}, {"lib32", 32}};
    bool both = !interposer32.empty() && !interposer64.empty();
    for (const auto& link : per_class) {
        const std::string& target = link.bits == 32 ? interposer32 : interposer64;
        if (!both && target.empty())
            continue;
        std::string dir = both ? g_link_dir + "/" + link.dir : g_link_dir;
        for (size_t at = g_link_dir.size(); at != std::string::npos; at = dir.find('/', at + 1))
            mkdir(dir.substr(0, at).c_str(), 0700);
        mkdir(dir.c_str(), 0700);
        std::string name = dir + "/libcardsim.so";
        if (symlink(target.c_str(), name.c_str()) != 0) {
            int e = errno;
            remove_link_dir();
            die("cannot link " + name + ": " + strerror(e));
        }
        if (!both)
            break;
    }
    return g_link_dir + (both ? "/$LIB/libcardsim.so" : "/libcardsim.so");
}

// Signals that end cardsim end COMMAND first; COMMAND gets this long (real
// time) to end before it is killed.
const int forwarded_signals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int stop_wait_seconds = 5;

// Whether cardsim's process group is a terminal's foreground group: then
// COMMAND stays in it, so that it may read the terminal.
bool in_foreground()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (isatty(fd))
            return tcgetpgrp(fd) == getpgrp();
    return false;
}

double monotonic_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Runs COMMAND as a child, so that cardsim can clean up and report after it:
// the link folder goes, and a write the interposer lost makes the status
// non-zero. A SIGTERM, SIGINT or SIGHUP to cardsim is handed to COMMAND's
// process group; cardsim waits for COMMAND (killing it after
// stop_wait_seconds), cleans up and ends by that signal (status 128 + signal).
// The exit status is otherwise COMMAND's; a signal that ended it ends cardsim too.
// Starts COMMAND as a child that tells of a lost write on `report_fd`.
pid_t start_command(const std::string& program, char* const argv[], const sigset_t& old, int report_fd,
                    bool own_group)
{
    pid_t child = fork();
    if (child < 0) {
        int e = errno;
        remove_link_dir();
        die(std::string("cannot start ") + program + ": " + strerror(e), 126);
    }
    if (child == 0) {
        if (own_group)
            setpgid(0, 0);
        sigprocmask(SIG_SETMASK, &old, nullptr);
        // Far above the descriptors COMMAND opens itself.
        int report = fcntl(report_fd, F_DUPFD, 200);
        if (report >= 0)
            put_env(lost_write_variable, std::to_string(report));
        exec_program(program, argv);
        fprintf(stderr, "cardsim: cannot run %s: %s\n", program.c_str(), strerror(errno));
        _exit(errno == ENOENT ? 127 : 126);
    }
    return child;
}

// Waits for COMMAND to end, handing the signals in `wanted` to `target`;
// returns the signal that asked cardsim to stop, or 0.
int wait_for_command(pid_t child, pid_t target, bool own_group, const sigset_t& wanted, int& status)
{
    int caught = 0;
    bool killed = false;
    double deadline = 0;
    while (waitpid(child, &status, WNOHANG) != child) {
        siginfo_t info;
        int sig;
        if (!caught) {
            sig = sigwaitinfo(&wanted, &info);
        } else {
            double left = deadline - monotonic_seconds();
            timespec wait{time_t(left > 0 ? left : 0), long((left > 0 ? left - double(time_t(left)) : 0) * 1e9)};
            sig = sigtimedwait(&wanted, &info, &wait);
        }
        if (sig < 0) {
            if (errno == EAGAIN && !killed) {
                fprintf(stderr, "cardsim: COMMAND did not end within %d seconds of the signal; killing it\n",
                        stop_wait_seconds);
                kill(target, SIGKILL);
                killed = true;
            }
            continue;
        }
        if (sig == SIGCHLD || info.si_pid == getpid())
            continue;
        if (!caught) {
            caught = sig;
            deadline = monotonic_seconds() + stop_wait_seconds;
        }
        // A terminal's signal already reached the group COMMAND is in.
        if (!(info.si_code == SI_KERNEL && !own_group))
            kill(target, sig);
    }
    // A signal that came while COMMAND was ending ends cardsim all the same.
    for (timespec now{}; !caught;) {
        siginfo_t info;
        int sig = sigtimedwait(&wanted, &info, &now);
        if (sig < 0)
            break;
        if (sig != SIGCHLD && info.si_pid != getpid())
            caught = sig;
    }
    return caught;
}

// Runs COMMAND as a child, so that cardsim can clean up and report after it:
// the link folder goes, and a write the interposer lost makes the status
// non-zero. A SIGTERM, SIGINT or SIGHUP to cardsim is handed to COMMAND's
// process group; cardsim waits for COMMAND (killing it after
// stop_wait_seconds), cleans up and ends by that signal (status 128 + signal).
// The exit status is otherwise COMMAND's; a signal that ended it ends cardsim too.
[[noreturn]] void run_and_clean_up(const std::string& program, char* const argv[])
{
    sigset_t wanted, old;
    sigemptyset(&wanted);
    sigaddset(&wanted, SIGCHLD);
    for (int sig : forwarded_signals)
        sigaddset(&wanted, sig);
    sigprocmask(SIG_BLOCK, &wanted, &old);
    // A datagram socket, not a pipe: a COMMAND that outlives cardsim gets
    // no SIGPIPE when it tells of a lost write.
    int lost[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, lost) != 0) {
        int e = errno;
        remove_link_dir();
        die(std::string("cannot start ") + program + ": " + strerror(e), 126);
    }
    bool own_group = !in_foreground();
    pid_t child = start_command(program, argv, old, lost[1], own_group);
    close(lost[1]);
    if (own_group)
        setpgid(child, child);
    // Ctrl-\ reaches COMMAND from the terminal; cardsim outlives it to clean up.
    signal(SIGQUIT, SIG_IGN);
    // Without a group of its own COMMAND shares cardsim's: the whole group
    // when cardsim leads it (a shell's job), else COMMAND alone.
    pid_t target = own_group ? -child : getpgrp() == getpid() ? -getpid() : child;
    int status = 0;
    int caught = wait_for_command(child, target, own_group, wanted, status);
    remove_link_dir();
    char byte;
    bool lost_writes = read(lost[0], &byte, 1) == 1;
    if (lost_writes)
        fprintf(stderr, "cardsim: the simulator could not write a file (the messages above name it)\n");
    int end_by = caught ? caught : WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (end_by) {
        signal(end_by, SIG_DFL);
        sigprocmask(SIG_SETMASK, &old, nullptr);
        raise(end_by);
        exit(128 + end_by);
    }
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    exit(code == 0 && lost_writes ? 1 : code);
}

void show(card_state& state, const sim_config& config)
{
    std::vector<unsigned char> eeprom, flash;
    bool new_card = false;
    if (!state.read_image("eeprom", eeprom_size, eeprom)) {
        if (errno != ENOENT && errno != 0)
            die("cannot read " + state.path("eeprom") + ": " + strerror(errno));
        new_card = true;
        eeprom.assign(eeprom_size, 0);
        config.new_eeprom(eeprom.data());
    }
    bool has_flash = state.read_image("flash", flash_size, flash);
    saved_registers regs;
    std::string err = state.load_registers(regs);
    std::vector<std::string> unknown;
    if (err.empty())
        err = state.load_unknown(unknown);
    if (!err.empty())
        die(err);
    fputs(describe_state(state.dir(), eeprom.data(), new_card, regs, has_flash ? flash.data() : nullptr, unknown,
                         config)
              .c_str(),
          stdout);
}

struct command_options {
    sim_config config;  // config.state: --state, "" when not given
    bool do_show = false, do_reset = false, isolation = true;
    bool own_state_dir = false;  // cardsim's default folder, not one the caller named
    std::vector<char*> command;
};

// cardsim's own options, after the card's settings (setting_table) in --help.
struct command_option {
    const char* name;
    const char* help;
    void (*act)(command_options& o);
};

[[noreturn]] void print_help();

const command_option command_table[] = {
    {"show",
     "print the stored state: output mode and preset, advanced\n"
     "entries, mute, program name, MAC, registers 0x48/0x4C, flash,\n"
     "accesses the card did not know",
     [](command_options& o) { o.do_show = true; }},
    {"reset", "make the card new (with --mac); runs before --show or COMMAND",
     [](command_options& o) { o.do_reset = true; }},
    {"no-isolation",
     "run COMMAND without the private /dev (for sudo inside):\n"
     "real DVB devices stay in sight; cardsim warns",
     [](command_options& o) { o.isolation = false; }},
    {"list-faults", "the fault names, one a line",
     [](command_options&) {
         fputs(faults_list().c_str(), stdout);
         exit(0);
     }},
    {"version", "cardsim's version",
     [](command_options&) {
         fputs("cardsim " CARDSIM_VERSION "\n", stdout);
         exit(0);
     }},
    {"help", "this text", [](command_options&) { print_help(); }},
};

void print_help()
{
    std::string help = help_head + settings_help();
    for (const auto& c : command_table)
        help += option_help(std::string("--") + c.name, c.help);
    fputs((help + "\n" + faults_help() + help_tail).c_str(), stdout);
    exit(0);
}

// getopt_long's table: the settings that have an option, then cardsim's own;
// each option's value is 256 + its place in the list.
struct option_list {
    std::vector<option> options;
    std::vector<const setting*> settings;  // nullptr for cardsim's own
    std::vector<const command_option*> commands;
};

option_list make_option_list()
{
    option_list l;
    auto add = [&](const char* name, bool takes_value, const setting* s, const command_option* c) {
        l.options.push_back({name, takes_value ? required_argument : no_argument, nullptr,
                             int(256 + l.settings.size())});
        l.settings.push_back(s);
        l.commands.push_back(c);
    };
    for (unsigned i = 0; i < setting_count; ++i)
        if (setting_table[i].option)
            add(setting_table[i].option, setting_table[i].value != nullptr, &setting_table[i], nullptr);
    for (const auto& c : command_table)
        add(c.name, false, nullptr, &c);
    l.options.push_back({nullptr, 0, nullptr, 0});
    return l;
}

command_options parse_options(int argc, char** argv)
{
    const option_list list = make_option_list();
    std::vector<bool> given(list.settings.size());
    command_options o;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "+", list.options.data(), nullptr)) != -1) {
        if (c < 256 || size_t(c - 256) >= list.settings.size()) {
            if (optopt && optopt < 256)
                usage_error(std::string("unknown option '-") + char(optopt) + "'");
            usage_error(std::string("unknown or incomplete option '") + argv[optind - 1] + "'");
        }
        size_t at = size_t(c - 256);
        std::string name = list.options[at].name;
        if (const command_option* command = list.commands[at]) {
            command->act(o);
            continue;
        }
        const setting& s = *list.settings[at];
        std::string arg = optarg ? optarg : "";
        if (arg.empty() && s.empty_message)
            usage_error("--" + name + " " + s.empty_message);
        std::string err = s.parse_option ? s.parse_option(arg, !given[at], o.config) : s.parse(arg, o.config);
        given[at] = true;
        if (!err.empty())
            usage_error("--" + name + ": " + err);
    }
    o.config.draw_open_values();
    for (size_t at = 0; at < list.settings.size(); ++at)
        if (given[at] && list.settings[at] && !strcmp(list.settings[at]->option, "node") && !o.config.cards.empty())
            usage_error("--node and --card (or --rack) together: a rack's nodes are its cards' nodes");
    if (!o.config.cards.empty()) {
        o.config.nodes.clear();
        for (size_t i = 0; i < o.config.cards.size(); ++i)
            o.config.nodes.push_back(card_node(o.config, i));
    }
    o.command.assign(argv + optind, argv + argc);
    if (o.command.empty() && !o.do_show && !o.do_reset)
        usage_error("nothing to do: give -- COMMAND, --show or --reset");
    return o;
}

// What execvp would run: 127 when there is nothing, 126 when it cannot be run.
std::string resolve_command(const char* name)
{
    program_search found = search_program(name);
    if (!found.path.empty())
        return found.path;
    if (!found.unrunnable.empty())
        die(std::string(name) + ": cannot run " + found.unrunnable + ": " + found.why, 126);
    if (found.searched.empty())
        die(std::string(name) + ": no such file", 127);
    std::string searched;
    for (const auto& dir : found.searched)
        searched += (searched.empty() ? "" : ", ") + dir;
    die(std::string(name) + ": command not found (looked in " + searched + ")", 127);
}

std::string mode_text(mode_t mode)
{
    char buf[8];
    snprintf(buf, sizeof buf, "%04o", unsigned(mode & 07777));
    return buf;
}

// Why faccessat refused: the mode (EACCES, with `mode_advice`), or the cause its errno names.
std::string access_refusal(int err, const std::string& mode_advice)
{
    if (err == EACCES || err == EPERM)
        return mode_advice;
    if (err == EROFS)
        return std::string(strerror(err)) +
               " (EROFS): the file system is mounted read-only; remount it read-write, or use a folder on another";
    return std::string(strerror(err)) + " (" + strerrorname_np(err) + ")";
}

std::string g_missing_parent;  // the note on the state folder's missing parent, said when it is made

void note_missing_parent()
{
    fputs(g_missing_parent.c_str(), stderr);
    g_missing_parent.clear();
}

// Refusals of the state folder that the model's own check does not make:
// a shared folder such as /tmp, and what the caller may not read or write.
void check_state_access(const command_options& o, const sim_config& card)
{
    const std::string& dir = card.state;
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT)
            die("cannot use the state folder " + dir + ": " + strerror(errno));
        if (o.command.empty() && !o.do_reset)
            return;  // --show makes nothing
        std::string parent = parent_folder(dir);
        if (stat(parent.c_str(), &st) != 0) {
            if (errno != ENOENT)
                die("cannot make the state folder " + dir + ": " + parent + ": " + strerror(errno));
            // The default folder is cardsim's own: its parents are made, and that is said.
            if (!o.own_state_dir)
                die(missing_parent_message(dir));
            g_missing_parent = "cardsim: " + parent + " does not exist; making it, private, for the state folder " +
                               dir + "\n";
        } else if (!S_ISDIR(st.st_mode)) {
            die("cannot make the state folder " + dir + ": " + parent + " is not a folder");
        }
        return;
    }
    if (S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) && (st.st_mode & (S_IWGRP | S_IWOTH)))
        die("unsafe state folder " + dir + ": it is a shared folder (mode " + mode_text(st.st_mode) +
            ") where every user may make files; use a folder of your own, such as one made by mktemp -d or the "
            "default ~/.local/state/cardsim");
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid())
        return;  // the model's check names what is wrong
    int need = o.command.empty() && !o.do_reset ? R_OK : R_OK | W_OK;
    const char* may = need & W_OK ? "read and write" : "read";
    if (faccessat(AT_FDCWD, dir.c_str(), need | X_OK, AT_EACCESS) != 0)
        die("cannot use the state folder " + dir + ": " +
            access_refusal(errno, std::string("you may not ") + may + " in it (mode " + mode_text(st.st_mode) +
                                      "); give yourself the permission, or use another folder"));
    std::vector<std::string> names = {"eeprom", "registers", "flash", "unknown", "eeprom.lock"};
    for (const auto& n : card.nodes)
        names.push_back(card_state::node_lock_name(n.first, n.second));
    for (const auto& name : names) {
        std::string path = dir + "/" + name;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (faccessat(AT_FDCWD, path.c_str(), need, AT_EACCESS) != 0)
            die("cannot use " + path + ": " +
                access_refusal(errno, std::string("you may not ") + may + " it (mode " + mode_text(st.st_mode) +
                                          "); give yourself the permission, or --reset the card"));
    }
}

// The trace file is made last, after every check; this one makes nothing.
void check_trace(const std::string& trace)
{
    if (trace.empty())
        return;
    const std::string head = "cannot open the trace file " + trace + ": ";
    struct stat st;
    if (lstat(trace.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode))
            die(head + "it is a symbolic link (give the file itself)");
        if (S_ISDIR(st.st_mode))
            die(head + strerror(EISDIR));
        if (access(trace.c_str(), W_OK) != 0)
            die(head + strerror(errno));
        return;
    }
    if (errno != ENOENT)
        die(head + strerror(errno));
    std::string parent = dir_of(trace);
    if (access((parent.empty() ? "/" : parent).c_str(), W_OK | X_OK) != 0)
        die(head + (errno == ENOENT ? "the folder " + parent + " does not exist" : std::string(strerror(errno))));
}

void create_trace(const std::string& trace)
{
    if (trace.empty())
        return;
    int fd = open(trace.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        int e = errno;
        remove_link_dir();
        errno = e;
        die("cannot open the trace file " + trace + ": " +
            (errno == ELOOP ? std::string("it is a symbolic link (give the file itself)") : strerror(errno)));
    }
    close(fd);
}

// A program the interposer cannot be loaded into, or "".
std::string uninterposable(const std::string& program)
{
    if (elf_static(program))
        return program + " is statically linked, so no interposer is loaded into it";
    struct stat st;
    struct statvfs vfs;
    if (stat(program.c_str(), &st) == 0 && statvfs(program.c_str(), &vfs) == 0 && !(vfs.f_flag & ST_NOSUID) &&
        ((st.st_mode & S_ISUID) || ((st.st_mode & S_ISGID) && (st.st_mode & S_IXGRP))))
        return program + " is set-" + (st.st_mode & S_ISUID ? "user" : "group") +
               "-ID, so the loader ignores LD_PRELOAD for it";
    return "";
}

// Inside another cardsim's run (its interposer is loaded into this one): this
// run's cards replace the outer ones for COMMAND, which is said, and the outer
// interposer leaves LD_PRELOAD, so that one card answers each request.
void note_nested()
{
    if (!dlsym(RTLD_DEFAULT, interposer_mark))
        return;
    fputs("cardsim: note: running inside another cardsim; COMMAND gets this run's cards only, not the outer run's\n",
          stderr);
    const char* preload = getenv("LD_PRELOAD");
    std::string kept;
    for (const auto& entry : split(preload ? preload : "", ':')) {
        size_t slash = entry.rfind('/');
        if (!entry.empty() && entry.substr(slash == std::string::npos ? 0 : slash + 1) != "libcardsim.so")
            kept += (kept.empty() ? "" : ":") + entry;
    }
    if (kept.empty())
        unsetenv("LD_PRELOAD");
    else
        put_env("LD_PRELOAD", kept);
}

// Runs COMMAND in the private /dev; where there is none, says once what is
// then not covered and refuses the programs that would reach a real card.
void isolate_or_refuse(const command_options& o, const std::string& program)
{
    if (int fd = inherited_dvb_descriptor(); fd >= 0)
        die("descriptor " + std::to_string(fd) +
            " is a DVB device, which COMMAND would inherit; cardsim never hands a real card to it (close it)");
    std::string why = "--no-isolation";
    if (o.isolation) {
        // Looked for before: the private /dev holds none.
        const bool real_devices = real_dvb_nodes_exist();
        isolation_result r = isolate(o.config.nodes);
        if (r.fatal)
            die(r.why);
        if (r.done && !r.root_free.empty() && real_devices)
            fprintf(stderr,
                    "cardsim: warning: COMMAND runs as the machine's root (%s): it may unmount the private /dev, "
                    "leave the namespace or open a device by its handle, and so reach the real card\n",
                    r.root_free.c_str());
        if (r.done)
            return;
        why = "the system does not allow it: " + r.why;
    }
    if (!real_dvb_nodes_exist())
        return;
    fprintf(stderr,
            "cardsim: warning: COMMAND runs without a private /dev (%s), and real DVB devices are in sight: only "
            "programs that load the interposer are kept from them; statically linked and set-ID programs, programs "
            "started without LD_PRELOAD (env -i, sudo) and raw system calls reach the real card\n",
            why.c_str());
    std::string refused = uninterposable(program);
    if (refused.empty())
        if (std::string interpreter = script_interpreter(program); !interpreter.empty())
            if (!(refused = uninterposable(interpreter)).empty())
                refused = program + "'s interpreter " + refused;
    if (!refused.empty())
        die("refused: " + refused + ", and without a private /dev it would open the real DVB devices");
}

void export_settings(const sim_config& config)
{
    for (unsigned i = 0; i < setting_count; ++i) {
        const setting& s = setting_table[i];
        std::string text;
        if (!s.format)
            continue;
        if (s.format(config, text))
            put_env(s.variable, text);
        else
            unsetenv(s.variable);
    }
}

void export_preload(const std::string& preload)
{
    const char* old_preload = getenv("LD_PRELOAD");
    put_env("LD_PRELOAD", old_preload && *old_preload ? preload + ":" + old_preload : preload);
    // A sanitized program wants its runtime first among the libraries; the interposer comes before it.
    const char* asan = getenv("ASAN_OPTIONS");
    put_env("ASAN_OPTIONS", std::string(asan && *asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0");
}

}  // namespace

// A rack's cards, each with a folder inside the run's, which cardsim makes.
struct rack_cards {
    std::vector<sim_config> configs;
    std::vector<std::unique_ptr<card_state>> states;
    std::vector<std::vector<unsigned char>> factory;
};

rack_cards rack_of(const sim_config& config)
{
    rack_cards rack;
    for (size_t i = 0; i < config.cards.size(); ++i) {
        rack.configs.push_back(card_config(config, i));
        rack.states.emplace_back(new card_state(rack.configs.back().state));
        rack.states.back()->make_parents(true);
    }
    return rack;
}

// The checks of the state folders that can refuse the run, before anything is made.
void check_cards(const command_options& o, const sim_config& config, card_state& state, const rack_cards& rack)
{
    check_state_access(o, config);
    struct stat st;
    bool made = lstat(config.state.c_str(), &st) == 0;
    for (const auto& card : rack.configs) {
        if (std::string err = card_folder_problem(card.state); !err.empty())
            die(err);
        if (made)
            check_state_access(o, card);
    }
    // --reset mends a corrupt card, but not a folder that is not safe to write in.
    for (size_t i = 0; i <= rack.states.size(); ++i) {
        std::string err = (i ? *rack.states[i - 1] : state).check();
        if (!err.empty() && (!o.do_reset || err.rfind("unsafe", 0) == 0))
            die(err);
    }
}

// Makes every card new (reset) or ready for a run, and plugs it in again.
void make_cards(bool reset, card_state& state, const sim_config& config, const unsigned char factory[],
                const rack_cards& rack)
{
    note_missing_parent();
    for (size_t i = 0; i < std::max<size_t>(rack.configs.size(), 1); ++i) {
        card_state& card = rack.configs.empty() ? state : *rack.states[i];
        const unsigned char* image = rack.configs.empty() ? factory : rack.factory[i].data();
        std::string err = reset ? card.reset(image) : card.prepare(image);
        if (err.empty())
            err = plug_in(rack.configs.empty() ? config.state : rack.configs[i].state);
        if (!err.empty())
            die(err);
    }
}

int main(int argc, char** argv)
{
    command_options o = parse_options(argc, argv);
    sim_config& config = o.config;
    if (config.state.empty())
        config.state = default_state_dir(o.own_state_dir);
    if (config.state.empty())
        usage_error("no state folder: give --state DIR, or set CARDSIM_STATE or HOME");
    config.state = absolute(config.state);
    if (!config.trace.empty())
        config.trace = absolute(config.trace);
    card_state state(config.state);
    state.make_parents(o.own_state_dir);
    rack_cards rack = rack_of(config);

    // Every check that can refuse comes before anything is made.
    std::string program;
    if (!o.command.empty())
        program = resolve_command(o.command[0]);
    check_cards(o, config, state, rack);
    check_trace(config.trace);
    std::string preload, interposer32, interposer64;
    bool per_class = false, links = false;
    int preload_bits = 0;
    if (!o.command.empty()) {
        int bits = elf_bits(program);
        // Both interposers at hand: the loader's $LIB picks the one of each
        // program's class, for COMMAND and for every program it starts.
        interposer32 = absolute(interposer_of(32));
        interposer64 = absolute(interposer_of(64));
        per_class = !interposer32.empty() && !interposer64.empty();
        preload_bits = bits ? bits : int(sizeof(void*) * 8);
        preload = find_interposer(preload_bits);
        note_nested();
        links = per_class || loader_special(preload);
        if (links)
            check_link_dir();
        isolate_or_refuse(o, program);
    }

    if (config.seed_random)
        fprintf(stderr, "cardsim: open values drawn with --seed %llu\n", (unsigned long long)config.seed);
    unsigned char factory[eeprom_size];
    config.new_eeprom(factory);
    for (const auto& card : rack.configs) {
        rack.factory.emplace_back(eeprom_size);
        card.new_eeprom(rack.factory.back().data());
    }
    if (o.do_reset)
        make_cards(true, state, config, factory, rack);
    if (o.do_show) {
        if (rack.configs.empty())
            show(state, config);
        for (size_t i = 0; i < rack.configs.size(); ++i) {
            printf("%sCard at /dev/dvb/adapter%u/frontend%u\n", i ? "\n" : "", rack.configs[i].nodes[0].first,
                   rack.configs[i].nodes[0].second);
            show(*rack.states[i], rack.configs[i]);
        }
    }
    if (o.command.empty())
        return 0;

    make_cards(false, state, config, factory, rack);
    if (links)
        preload = per_class ? link_interposers(interposer32, interposer64)
                            : link_interposers(preload_bits == 32 ? preload : "", preload_bits == 64 ? preload : "");
    create_trace(config.trace);
    export_settings(config);
    export_preload(preload);

    o.command.push_back(nullptr);
    run_and_clean_up(program, o.command.data());
}
