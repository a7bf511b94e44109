// cardsim: runs a program against the simulated card, or shows or resets the card.

#include "config.h"
#include "exec32.h"
#include "show.h"
#include "state.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace cardsim;

namespace {

const char kHelp[] =
    "Usage: cardsim [OPTIONS] -- COMMAND [ARGS...]   run COMMAND against the simulated card\n"
    "       cardsim [OPTIONS] --show                 print the stored card state, decoded\n"
    "       cardsim [OPTIONS] --reset                make the card new again (factory EEPROM, blank flash)\n"
    "       cardsim --help\n"
    "\n"
    "cardsim simulates the HDMI capture card. COMMAND's open, close and ioctl calls on\n"
    "/dev/dvb/adapterN/frontendM are served by a model of the card (the interposer\n"
    "libcardsim.so, loaded with LD_PRELOAD); everything else COMMAND does goes to the\n"
    "real system. 32-bit programs run as well as 64-bit ones (through qemu-i386 where\n"
    "the kernel cannot run them). cardsim's exit status is COMMAND's.\n"
    "\n"
    "Options:\n"
    "  --state DIR            folder that holds the card's persistent state\n"
    "                         (default $CARDSIM_STATE, else $XDG_STATE_HOME/cardsim,\n"
    "                         else ~/.local/state/cardsim)\n"
    "  --node A:F             list /dev/dvb/adapterA/frontendF (repeatable; default 0:0);\n"
    "                         other nodes fail to open with ENOENT\n"
    "  --signal WxH@RATE[p|i] HDMI input: width, height, frequency code 0 to 255,\n"
    "                         progressive or interlaced (default 1920x1080@60p)\n"
    "  --mac XX:XX:XX:XX:XX:XX MAC address of a new card (default 00:1a:2b:3c:4d:5e)\n"
    "  --busy-time SECONDS    how long the card stays busy after a capture restart or a\n"
    "                         microcontroller reset (default 3; may have a fraction)\n"
    "  --fault NAME[=N]       inject a fault (repeatable, see below)\n"
    "  --real-time            sleeps take real time (default: virtual time)\n"
    "  --trace FILE           append one line per open, close, request and sleep to FILE\n"
    "  --flash-id XX:XX:XX    identification of the SPI flash (default c2:20:16)\n"
    "  --flash-busy-time SECONDS  write-in-progress time after an erase or a page\n"
    "                         program (default 0.05)\n"
    "  --show                 print the stored state: output mode and preset, advanced\n"
    "                         entries, mute, program name, MAC, registers 0x48/0x4C, flash\n"
    "  --reset                make the card new (with --mac); runs before --show or COMMAND\n"
    "  --help                 this text\n"
    "\n"
    "Faults:\n"
    "  receiver-busy   the mailbox never takes a command (status bit 0 stays set)\n"
    "  no-completion   the mailbox never signals completion after the acknowledge\n"
    "  write-error     every EEPROM write reports status bit 1 and stores nothing\n"
    "  busy=N          after each restart the card stays busy for N rounds of 2 seconds\n"
    "                  (busy time 2N+1 s)\n"
    "  busy=forever    the card never becomes idle after a restart\n"
    "  busy-at-start   the card is busy from the start until the busy time has passed\n"
    "  reg-read-fail   every register read fails (the request returns -1, errno EIO)\n"
    "  latency=N       the mailbox needs N status reads before each handshake step (default 1)\n"
    "  spi-busy        the SPI controller never reports free\n"
    "  spi-busy-after=N  the SPI controller serves N transfers, then never reports free\n"
    "  flash-stuck     an erase or page program never finishes\n"
    "\n"
    "Virtual time: sleep, usleep, nanosleep and clock_nanosleep return at once and\n"
    "advance COMMAND's virtual clock by the time asked for; the card's busy times run\n"
    "on that clock, so a 2-second wait costs nothing. Clock reads stay real.\n"
    "\n"
    "State folder: eeprom (256 bytes), registers (last values written to 0x48 and\n"
    "0x4C), flash (4 MiB, made when first used), and lock files. A second read-write\n"
    "open of a node that is open read-write, in any process sharing the state, fails\n"
    "with EBUSY.\n"
    "\n"
    "Examples:\n"
    "  cardsim -- ravelins -i                       read the input format\n"
    "  cardsim --signal 1280x720@50p -- ravelins -i\n"
    "  cardsim --fault busy=3 --trace /tmp/t -- ravelins -N\n"
    "  cardsim --state /tmp/card --show             what the card stores\n"
    "  cardsim --state /tmp/card --reset            a new card\n"
    "\n"
    "Bad options, malformed values and unreadable or corrupt state exit with status 2\n"
    "and leave the card untouched.\n";

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

// The interposer of the program's class: CARDSIM_PRELOAD_32/64, then beside
// cardsim (a build tree), then the installed layout. "" when there is none.
std::string interposer_of(int bits)
{
    const char* override_name = bits == 32 ? "CARDSIM_PRELOAD_32" : "CARDSIM_PRELOAD_64";
    if (const char* o = getenv(override_name); o && *o) {
        if (elf_bits(o) != bits)
            die(std::string(override_name) + "=" + o + " is not a " + std::to_string(bits) + "-bit libcardsim.so");
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
            if (elf_bits(c) == bits)
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

// A folder of links in the state folder, one for each expansion of the
// loader's $LIB on Debian (multiarch, and the multilib folders of the 32-bit
// compatibility loader), so that "<folder>/$LIB/libcardsim.so" names the
// interposer of whichever class the loaded program has.
std::string interposer_per_class(const std::string& state_dir)
{
    const std::string base = state_dir + "/preload";
    const struct {
        const char* dir;
        int bits;
    } links[] = {
        {"lib/x86_64-linux-gnu", 64}, {"lib64", 64}, {"lib/i386-linux-gnu", 32}, {"lib32", 32}};
    for (const auto& link : links) {
        std::string dir = base + "/" + link.dir;
        for (size_t at = base.size(); at != std::string::npos; at = dir.find('/', at + 1))
            mkdir(dir.substr(0, at).c_str(), 0755);
        mkdir(dir.c_str(), 0755);
        std::string name = dir + "/libcardsim.so";
        std::string target = absolute(interposer_of(link.bits));
        unlink(name.c_str());
        if (symlink(target.c_str(), name.c_str()) != 0)
            die("cannot link " + name + ": " + strerror(errno));
    }
    return base + "/$LIB/libcardsim.so";
}

void put_env(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

bool read_whole(const std::string& path, std::vector<unsigned char>& out, size_t size)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    out.assign(size, 0);
    size_t done = 0;
    while (done < size) {
        ssize_t r = read(fd, out.data() + done, size - done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        done += size_t(r);
    }
    close(fd);
    return done == size;
}

int show(State& state, const Config& config)
{
    std::vector<unsigned char> eeprom, flash;
    bool new_card = false;
    if (!read_whole(state.path("eeprom"), eeprom, kEepromSize)) {
        if (errno != ENOENT && errno != 0)
            die("cannot read " + state.path("eeprom") + ": " + strerror(errno));
        new_card = true;
        eeprom.assign(kEepromSize, 0);
        factory_eeprom(config.mac, eeprom.data());
    }
    bool has_flash = read_whole(state.path("flash"), flash, kFlashSize);
    SavedRegisters regs;
    std::string err = state.load_registers(regs);
    if (!err.empty())
        die(err);
    fputs(describe_state(state.dir(), eeprom.data(), new_card, regs, has_flash ? flash.data() : nullptr, config)
              .c_str(),
          stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    enum {
        opt_state = 256, opt_node, opt_signal, opt_mac, opt_busy_time, opt_fault, opt_real_time, opt_trace,
        opt_flash_id, opt_flash_busy_time, opt_show, opt_reset, opt_help
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
            fputs(kHelp, stdout);
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
    if (!do_reset) {
        std::string err = state.check();
        if (!err.empty())
            die(err);
    }
    if (!config.trace.empty()) {
        int fd = open(config.trace.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            die("cannot open the trace file " + config.trace + ": " + strerror(errno));
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
    if (mixed_preload)
        preload = interposer_per_class(config.state);
    put_env("CARDSIM_STATE", config.state);
    put_env("CARDSIM_NODES", format_nodes(config));
    put_env("CARDSIM_SIGNAL", format_signal(config.signal));
    put_env("CARDSIM_MAC", format_mac(config.mac));
    put_env("CARDSIM_BUSY_TIME", format_seconds(config.busy_ns));
    put_env("CARDSIM_FAULTS", format_faults(config.faults));
    put_env("CARDSIM_VTIME", config.vtime ? "1" : "0");
    if (config.trace.empty())
        unsetenv("CARDSIM_TRACE");
    else
        put_env("CARDSIM_TRACE", config.trace);
    put_env("CARDSIM_FLASH_ID", format_flash_id(config.flash_id));
    put_env("CARDSIM_FLASH_BUSY_TIME", format_seconds(config.flash_busy_ns));
    const char* old_preload = getenv("LD_PRELOAD");
    put_env("LD_PRELOAD", old_preload && *old_preload ? preload + ":" + old_preload : preload);
    // A sanitized program wants its runtime first among the libraries; the interposer comes before it.
    const char* asan = getenv("ASAN_OPTIONS");
    put_env("ASAN_OPTIONS", std::string(asan && *asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0");

    command.push_back(nullptr);
    exec_program(program, command.data());
    die("cannot run " + program + ": " + strerror(errno), errno == ENOENT ? 127 : 126);
}
