// SPDX-License-Identifier: GPL-2.0-or-later
// cardsim: runs a program against the simulated card, or shows or resets the card.

#include "config.h"
#include "faults.h"
#include "exec32.h"
#include "show.h"
#include "state.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <getopt.h>
#include <csignal>
#include <sys/wait.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace cardsim;

namespace {

const char kHelpHead[] =
    "Usage: cardsim [OPTIONS] -- COMMAND [ARGS...]   run COMMAND against the simulated card\n"
    "       cardsim [OPTIONS] --show                 print the stored card state, decoded\n"
    "       cardsim [OPTIONS] --reset                make the card new again (factory EEPROM, blank flash)\n"
    "       cardsim --help | --version | --list-faults\n"
    "\n"
    "cardsim simulates the HDMI capture card. COMMAND's open, close and ioctl calls on\n"
    "/dev/dvb/adapterN/frontendM are served by a model of the card (the interposer\n"
    "libcardsim.so, loaded with LD_PRELOAD); no other open under /dev/dvb reaches the\n"
    "system; everything else COMMAND does goes to the real system. 32-bit programs run\n"
    "as well as 64-bit ones (through qemu-i386 where the kernel cannot run them).\n"
    "cardsim's exit status is COMMAND's.\n"
    "\n"
    "Options:\n"
    "  --state DIR            folder that holds the card's persistent state, your own\n"
    "                         and writable by no one else (default $CARDSIM_STATE, else\n"
    "                         $XDG_STATE_HOME/cardsim, else ~/.local/state/cardsim)\n"
    "  --node A:F             list /dev/dvb/adapterA/frontendF (repeatable; default 0:0);\n"
    "                         other nodes fail to open with ENOENT\n"
    "  --signal WxH@RATE[p|i] HDMI input: width, height, frequency code 0 to 255,\n"
    "                         progressive or interlaced (default 1920x1080@60p)\n"
    "  --reg48 WORD           what register 0x48 reads, all 32 bits (instead of --signal's)\n"
    "  --reg4c WORD           what register 0x4C reads, all 32 bits (instead of --signal's)\n"
    "  --mac XX:XX:XX:XX:XX:XX MAC address of a new card (default 00:1a:2b:3c:4d:5e)\n"
    "  --busy-time SECONDS    how long the card stays busy after a capture restart or a\n"
    "                         microcontroller reset (default 3; may have a fraction)\n"
    "  --request-time SECONDS virtual time that each request costs (default 0.000001;\n"
    "                         0 allowed)\n"
    "  --fault NAME[=N]       inject a fault (repeatable, see below)\n"
    "  --real-time            sleeps take real time (default: virtual time)\n"
    "  --trace FILE           append one line per open, close, request and sleep to FILE\n"
    "  --flash-id XX:XX:XX    identification of the SPI flash (default c2:20:16)\n"
    "  --flash-busy-time SECONDS  write-in-progress time after an erase or a page\n"
    "                         program (default 0.0005)\n"
    "  --show                 print the stored state: output mode and preset, advanced\n"
    "                         entries, mute, program name, MAC, registers 0x48/0x4C, flash,\n"
    "                         accesses the card did not know\n"
    "  --reset                make the card new (with --mac); runs before --show or COMMAND\n"
    "  --list-faults          the fault names, one a line\n"
    "  --version              cardsim's version\n"
    "  --help                 this text\n"
    "\n";

const char kHelpTail[] =
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
    "Examples:\n"
    "  cardsim -- ravelins -i                       read the input format\n"
    "  cardsim --signal 1280x720@50p -- ravelins -i\n"
    "  cardsim --fault busy=3 --trace ~/card.trace -- ravelins -N\n"
    "  cardsim --state ~/card --show                what the card stores\n"
    "  cardsim --state ~/card --reset               a new card\n"
    "\n"
    "Bad options, malformed values, an unsafe state folder and unreadable or corrupt\n"
    "state exit with status 2 and leave the card untouched. A COMMAND that cannot be\n"
    "found exits 127, one that cannot be run 126.\n";

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

std::string default_state_dir()
{
    if (const char* s = getenv("CARDSIM_STATE"); s && *s)
        return s;
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
constexpr char kInterposerMark[] = "cardsim_interposer_version";

bool is_interposer(const std::string& path, int bits)
{
    return elf_bits(path) == bits && elf_exports(path, kInterposerMark);
}

// The interposer of the program's class: CARDSIM_PRELOAD_32/64, then beside
// cardsim (a build tree), then the installed layout. "" when there is none.
std::string interposer_of(int bits)
{
    const char* override_name = bits == 32 ? "CARDSIM_PRELOAD_32" : "CARDSIM_PRELOAD_64";
    if (const char* o = getenv(override_name); o && *o) {
        if (!is_interposer(o, bits))
            die(std::string(override_name) + "=" + o + " is not a " + std::to_string(bits) +
                "-bit libcardsim.so (it must be cardsim's interposer, which exports " + kInterposerMark + ")");
        return absolute(o);
    }
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir = dir_of(self);
        std::vector<std::string> candidates = {
            dir + "/libcardsim.so",
            dir + "/../lib/" + (bits == 32 ? "i386" : "x86_64") + "-linux-gnu/cardsim/libcardsim.so",
        };
        for (const auto& c : candidates)
            if (is_interposer(c, bits))
                return c;
    }
    return "";
}

std::string find_interposer(int bits)
{
    if (std::string found = interposer_of(bits); !found.empty())
        return found;
    if (bits == 32)
        die("no 32-bit interposer found; build the i386 tree or set CARDSIM_PRELOAD_32");
    die("no 64-bit interposer found; build the x86-64 tree or set CARDSIM_PRELOAD_64");
}

std::string g_link_dir;  // the private folder of interposer links, removed at exit

void remove_link_dir()
{
    if (g_link_dir.empty())
        return;
    nftw(g_link_dir.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 8,
         FTW_DEPTH | FTW_PHYS);
    g_link_dir.clear();
}

// A private folder (mkdtemp) of links, one for each expansion of the loader's
// $LIB on Debian (multiarch, and the multilib folders of the 32-bit
// compatibility loader), so that "<folder>/$LIB/libcardsim.so" names the
// interposer of whichever class the loaded program has.
std::string interposer_per_class()
{
    const char* tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/cardsim-preload.XXXXXX";
    if (!mkdtemp(templ.data()))
        die("cannot make a private folder for the interposer links (" + templ + "): " + strerror(errno));
    g_link_dir = templ;
    const struct {
        const char* dir;
        int bits;
    } links[] = {
        {"lib/x86_64-linux-gnu", 64}, {"lib64", 64}, {"lib/i386-linux-gnu", 32}, {"lib32", 32}};
    for (const auto& link : links) {
        std::string dir = g_link_dir + "/" + link.dir;
        for (size_t at = g_link_dir.size(); at != std::string::npos; at = dir.find('/', at + 1))
            mkdir(dir.substr(0, at).c_str(), 0700);
        mkdir(dir.c_str(), 0700);
        std::string name = dir + "/libcardsim.so";
        if (symlink(absolute(interposer_of(link.bits)).c_str(), name.c_str()) != 0) {
            int e = errno;
            remove_link_dir();
            die("cannot link " + name + ": " + strerror(e));
        }
    }
    return g_link_dir + "/$LIB/libcardsim.so";
}

// Runs the program as a child so that the link folder can go when it ends;
// the exit status is the child's, a signal that ended it ends cardsim too.
[[noreturn]] void run_and_clean_up(const std::string& program, char* const argv[])
{
    pid_t child = fork();
    if (child < 0) {
        int e = errno;
        remove_link_dir();
        die(std::string("cannot start ") + program + ": " + strerror(e), 126);
    }
    if (child == 0) {
        exec_program(program, argv);
        fprintf(stderr, "cardsim: cannot run %s: %s\n", program.c_str(), strerror(errno));
        _exit(errno == ENOENT ? 127 : 126);
    }
    // The terminal's signals reach the child; cardsim outlives it to clean up.
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    remove_link_dir();
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
        exit(128 + WTERMSIG(status));
    }
    exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

void put_env(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

int show(State& state, const Config& config)
{
    std::vector<unsigned char> eeprom, flash;
    bool new_card = false;
    if (!state.read_image("eeprom", kEepromSize, eeprom)) {
        if (errno != ENOENT && errno != 0)
            die("cannot read " + state.path("eeprom") + ": " + strerror(errno));
        new_card = true;
        eeprom.assign(kEepromSize, 0);
        factory_eeprom(config.mac, eeprom.data());
    }
    bool has_flash = state.read_image("flash", kFlashSize, flash);
    SavedRegisters regs;
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
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    enum {
        opt_state = 256, opt_node, opt_signal, opt_mac, opt_busy_time, opt_fault, opt_real_time, opt_trace,
        opt_flash_id, opt_flash_busy_time, opt_show, opt_reset, opt_help, opt_request_time, opt_reg48, opt_reg4c,
        opt_version, opt_list_faults
    };
    static const option options[] = {
        {"state", required_argument, nullptr, opt_state},
        {"node", required_argument, nullptr, opt_node},
        {"signal", required_argument, nullptr, opt_signal},
        {"mac", required_argument, nullptr, opt_mac},
        {"busy-time", required_argument, nullptr, opt_busy_time},
        {"fault", required_argument, nullptr, opt_fault},
        {"real-time", no_argument, nullptr, opt_real_time},
        {"trace", required_argument, nullptr, opt_trace},
        {"flash-id", required_argument, nullptr, opt_flash_id},
        {"flash-busy-time", required_argument, nullptr, opt_flash_busy_time},
        {"show", no_argument, nullptr, opt_show},
        {"reset", no_argument, nullptr, opt_reset},
        {"help", no_argument, nullptr, opt_help},
        {"request-time", required_argument, nullptr, opt_request_time},
        {"reg48", required_argument, nullptr, opt_reg48},
        {"reg4c", required_argument, nullptr, opt_reg4c},
        {"version", no_argument, nullptr, opt_version},
        {"list-faults", no_argument, nullptr, opt_list_faults},
        {nullptr, 0, nullptr, 0},
    };

    Config config;
    bool nodes_given = false, do_show = false, do_reset = false;
    std::string state_dir;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "+", options, nullptr)) != -1) {
        std::string arg = optarg ? optarg : "", err;
        switch (c) {
        case opt_state:
            if (arg.empty())
                usage_error("--state needs a folder");
            state_dir = arg;
            break;
        case opt_node: {
            std::pair<unsigned, unsigned> node;
            if (!(err = parse_node(arg, node)).empty())
                usage_error("--node: " + err);
            if (!nodes_given)
                config.nodes.clear();
            nodes_given = true;
            config.nodes.push_back(node);
            break;
        }
        case opt_signal:
            err = parse_signal(arg, config.signal);
            break;
        case opt_mac:
            err = parse_mac(arg, config.mac);
            break;
        case opt_busy_time:
            err = parse_seconds(arg, config.busy_ns);
            break;
        case opt_request_time:
            err = parse_seconds(arg, config.request_ns);
            break;
        case opt_reg48:
            err = parse_word(arg, config.raw48);
            config.has_raw48 = true;
            break;
        case opt_reg4c:
            err = parse_word(arg, config.raw4c);
            config.has_raw4c = true;
            break;
        case opt_fault:
            err = parse_fault(arg, config.faults);
            break;
        case opt_real_time:
            config.vtime = false;
            break;
        case opt_trace:
            if (arg.empty())
                usage_error("--trace needs a file");
            config.trace = arg;
            break;
        case opt_flash_id:
            err = parse_flash_id(arg, config.flash_id);
            break;
        case opt_flash_busy_time:
            err = parse_seconds(arg, config.flash_busy_ns);
            break;
        case opt_show:
            do_show = true;
            break;
        case opt_reset:
            do_reset = true;
            break;
        case opt_help:
            fputs((kHelpHead + faults_help() + kHelpTail).c_str(), stdout);
            return 0;
        case opt_version:
            fputs("cardsim " CARDSIM_VERSION "\n", stdout);
            return 0;
        case opt_list_faults:
            fputs(faults_list().c_str(), stdout);
            return 0;
        default:
            if (optopt && optopt < 256)
                usage_error(std::string("unknown option '-") + char(optopt) + "'");
            usage_error(std::string("unknown or incomplete option '") + argv[optind - 1] + "'");
        }
        if (!err.empty())
            usage_error(std::string("--") + options[c - opt_state].name + ": " + err);
    }
    std::vector<char*> command(argv + optind, argv + argc);
    if (command.empty() && !do_show && !do_reset)
        usage_error("nothing to do: give -- COMMAND, --show or --reset");

    if (state_dir.empty())
        state_dir = default_state_dir();
    if (state_dir.empty())
        usage_error("no state folder: give --state DIR, or set CARDSIM_STATE or HOME");
    config.state = absolute(state_dir);
    if (!config.trace.empty())
        config.trace = absolute(config.trace);
    State state(config.state);

    std::string program;
    if (!command.empty()) {
        program = find_program(command[0]);
        if (program.empty())
            die(std::string(command[0]) + ": command not found", 127);
    }
    {
        // --reset mends a corrupt card, but not a folder that is not safe to write in.
        std::string err = state.check();
        if (!err.empty() && (!do_reset || err.rfind("unsafe", 0) == 0))
            die(err);
    }
    if (!config.trace.empty()) {
        int fd = open(config.trace.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0)
            die("cannot open the trace file " + config.trace + ": " +
                (errno == ELOOP ? std::string("it is a symbolic link (give the file itself)") : strerror(errno)));
        close(fd);
    }
    std::string preload;
    bool mixed_preload = false;
    if (!command.empty()) {
        int bits = elf_bits(program);
        // A script may start programs of either class: the loader's $LIB then
        // picks the interposer of each, when both are at hand.
        mixed_preload = bits == 0 && !interposer_of(32).empty() && !interposer_of(64).empty();
        preload = find_interposer(bits ? bits : int(sizeof(void*) * 8));
    }

    if (do_reset) {
        std::string err = state.reset(config.mac);
        if (!err.empty())
            die(err);
    }
    if (do_show)
        show(state, config);
    if (command.empty())
        return 0;

    std::string err = state.prepare(config.mac);
    if (!err.empty())
        die(err);
    put_env("CARDSIM_STATE", config.state);
    put_env("CARDSIM_NODES", format_nodes(config));
    put_env("CARDSIM_SIGNAL", format_signal(config.signal));
    if (config.has_raw48)
        put_env("CARDSIM_REG48", format_word(config.raw48));
    else
        unsetenv("CARDSIM_REG48");
    if (config.has_raw4c)
        put_env("CARDSIM_REG4C", format_word(config.raw4c));
    else
        unsetenv("CARDSIM_REG4C");
    put_env("CARDSIM_MAC", format_mac(config.mac));
    put_env("CARDSIM_BUSY_TIME", format_seconds(config.busy_ns));
    put_env("CARDSIM_REQUEST_TIME", format_seconds(config.request_ns));
    put_env("CARDSIM_FAULTS", format_faults(config.faults));
    put_env("CARDSIM_VTIME", config.vtime ? "1" : "0");
    if (config.trace.empty())
        unsetenv("CARDSIM_TRACE");
    else
        put_env("CARDSIM_TRACE", config.trace);
    put_env("CARDSIM_FLASH_ID", format_flash_id(config.flash_id));
    put_env("CARDSIM_FLASH_BUSY_TIME", format_seconds(config.flash_busy_ns));
    if (mixed_preload)
        preload = interposer_per_class();
    const char* old_preload = getenv("LD_PRELOAD");
    put_env("LD_PRELOAD", old_preload && *old_preload ? preload + ":" + old_preload : preload);
    // A sanitized program wants its runtime first among the libraries; the interposer comes before it.
    const char* asan = getenv("ASAN_OPTIONS");
    put_env("ASAN_OPTIONS", std::string(asan && *asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0");

    command.push_back(nullptr);
    if (mixed_preload)
        run_and_clean_up(program, command.data());
    exec_program(program, command.data());
    die("cannot run " + program + ": " + strerror(errno), errno == ENOENT ? 127 : 126);
}
