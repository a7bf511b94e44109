// SPDX-License-Identifier: GPL-2.0-or-later
#include "interpose_serve.h"

#include "card.h"
#include "config.h"
#include "interpose_clock.h"
#include "interpose_fds.h"
#include "interpose_paths.h"
#include "interpose_trace.h"
#include "rack.h"
#include "raw_sys.h"
#include "state.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include "zeb_requests.h"

namespace cardsim::serve {

namespace {

// The driver's four requests, as the card access library names them.
constexpr uint32_t request_reg_read = REG_READ, request_reg_write = REG_WRITE;
constexpr uint32_t request_window_read = WINDOW_READ, request_window_write = WINDOW_WRITE;

// One card of the process: the run's only card, or one of a rack.
struct served_card {
    explicit served_card(const sim_config& c) : config(c), state(config.state), card(config, state) {}
    sim_config config;
    card_state state;
    card_model card;
    bool state_ready = false;  // the state folder checked (at the first open)
    uint64_t requests = 0;     // answered in this program, for unplug-after
    bool unplugged = false;
};

struct process_card {
    sim_config config;
    std::vector<std::unique_ptr<served_card>> cards;
    bool loaded = false;        // the settings read (again after a load that ran out of memory)
    bool serving = false;       // CARDSIM_STATE set and everything parsed
    bool malformed = false;     // a CARDSIM_* setting is wrong: DVB opens fail with EIO
    std::string reported;       // the messages already written, so each shows once

    // The card whose node this is, or nullptr.
    served_card* at(unsigned adapter, unsigned frontend, unsigned& index)
    {
        for (index = 0; index < cards.size(); ++index)
            if (cards[index]->config.lists(adapter, frontend))
                return cards[index].get();
        return nullptr;
    }
};

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
process_card* g_sim = nullptr;     // guarded by g_mutex, never freed
std::atomic<bool> g_ready{false};  // g_sim made and loaded
std::atomic<bool> g_said_memory{false};

// This thread is inside the card (it holds g_mutex, or is about to): a call
// from a signal handler that interrupted it must not wait for itself.
__thread bool t_inside __attribute__((tls_model("initial-exec"))) = false;

void say(const std::string& text)
{
    std::string line = "cardsim: " + text + "\n";
    ssize_t ignored = write(2, line.data(), line.size());
    (void)ignored;
}

// Allocates nothing: memory ran out.
void say_out_of_memory()
{
    static const char text[] = "cardsim: out of memory inside the simulator: the request fails (EIO)\n";
    if (!g_said_memory.exchange(true)) {
        ssize_t ignored = write(2, text, sizeof text - 1);
        (void)ignored;
    }
}

// Under g_mutex.
void report_once(process_card& sim, const std::string& text)
{
    if (text.empty() || sim.reported.find(text + "\n") != std::string::npos)
        return;
    sim.reported += text + "\n";
    say(text);
}

// Under g_mutex: a file write lost, said once and told to cardsim.
void report_lost_once(process_card& sim, const std::string& text)
{
    if (text.empty() || sim.reported.find(text + "\n") != std::string::npos)
        return;
    sim.reported += text + "\n";
    trace::lost_write(text);
}

void at_fork_prepare() { pthread_mutex_lock(&g_mutex); }
void at_fork_parent() { pthread_mutex_unlock(&g_mutex); }
void at_fork_child()
{
    if (g_sim)
        for (auto& card : g_sim->cards)
            card->state.forget_descriptors();
    pthread_mutex_unlock(&g_mutex);
}

// Under g_mutex: (re)reads the environment and makes a new card.
int load(process_card& sim)
{
    sim.loaded = false;
    sim.cards.clear();
    sim.serving = false;
    sim.malformed = false;
    // The clock's setting holds also when no card is served.
    sim_config clock;
    setting_from_env("CARDSIM_VTIME", clock);
    vclock::reset(clock.vtime, 0);
    trace::open("");

    const char* state_dir = getenv("CARDSIM_STATE");
    if (!state_dir || !*state_dir) {
        sim.loaded = true;
        return -1;  // no card: DVB opens fail with ENOENT
    }
    std::string err = config_from_env(sim.config);
    if (!err.empty()) {
        report_once(sim, err + " (no card is served; every open of /dev/dvb fails with EIO)");
        sim.malformed = true;
        sim.loaded = true;
        return -1;
    }
    vclock::reset(sim.config.vtime, sim.config.request_ns);
    report_once(sim, trace::open(sim.config.trace));
    if (sim.config.cards.empty())
        sim.cards.emplace_back(new served_card(sim.config));
    for (size_t i = 0; i < sim.config.cards.size(); ++i)
        sim.cards.emplace_back(new served_card(card_config(sim.config, i)));
    for (size_t i = 0; i < sim.cards.size(); ++i)
        fds::adopt_inherited(sim.cards[i]->config.state, unsigned(i));
    sim.serving = true;
    sim.loaded = true;
    return 0;
}

// Holds g_mutex while it lives; the process's card is made and loaded on first use.
class held_card {
public:
    held_card()
    {
        t_inside = true;
        pthread_mutex_lock(&g_mutex);
        try {
            if (!g_sim) {
                g_sim = new process_card;
                pthread_atfork(at_fork_prepare, at_fork_parent, at_fork_child);
            }
            if (!g_sim->loaded) {
                load(*g_sim);
                g_ready.store(true, std::memory_order_release);
            }
        } catch (...) {
            release();
            throw;
        }
    }
    ~held_card() { release(); }
    held_card(const held_card&) = delete;
    held_card& operator=(const held_card&) = delete;
    process_card& sim() { return *g_sim; }

private:
    void release()
    {
        pthread_mutex_unlock(&g_mutex);
        t_inside = false;
    }
};

int fail(int err)
{
    errno = err;
    return -1;
}

// Under g_mutex: 0 and the node's descriptor in fd, or an errno value.
int open_node(process_card& sim, unsigned adapter, unsigned frontend, int flags, int& fd)
{
    if (!sim.serving)
        return sim.malformed ? EIO : ENOENT;
    unsigned index;
    served_card* card = sim.at(adapter, frontend, index);
    if (!card)
        return ENOENT;
    // A card unplugged in this program, or in another of the run, has no node.
    if (card->unplugged || (card->config.unplug_after != forever && is_unplugged(card->config.state)))
        return ENOENT;
    if (card->config.deny)
        return EACCES;
    if (!card->state_ready) {
        std::string problem = sim.config.cards.empty() ? "" : card_folder_problem(card->config.state);
        if (problem.empty()) {
            unsigned char factory[eeprom_size];
            card->config.new_eeprom(factory);
            problem = card->state.prepare(factory);
        }
        if (!problem.empty()) {
            report_once(sim, problem);
            return EIO;
        }
        card->state_ready = true;
    }
    // Like the DVB frontend: one writer at a time, any number of readers. The
    // descriptor is the node's lock file itself, so that the node stays open
    // as long as any copy of it (dup, fork, exec) does, as a device would.
    std::string err;
    fd = card->state.open_node_lock(adapter, frontend, flags, err);
    if (fd < 0) {
        report_once(sim, err);
        return EIO;
    }
    if (fd >= fds::max_fd) {
        raw::sys_close(fd);
        return EMFILE;
    }
    if ((flags & O_ACCMODE) != O_RDONLY && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno == EWOULDBLOCK ? EBUSY : errno;
        raw::sys_close(fd);
        return e;
    }
    fds::mark_node(fd, index);
    return 0;
}

}  // namespace

bool ready() { return g_ready.load(std::memory_order_acquire); }

void ensure_ready()
{
    if (ready() || t_inside)
        return;
    try {
        held_card held;
    } catch (...) {
        say_out_of_memory();
    }
}

namespace {

bool open_card(int dirfd, const char* path, int flags, int& result)
{
    unsigned adapter = 0, frontend = 0;
    paths::path_kind kind = paths::classify(dirfd, path, flags, adapter, frontend);
    if (kind == paths::path_kind::other)
        return false;
    // A program that lists /dev/dvb (find, fts, nftw) opens the folders. With
    // O_DIRECTORY forced the kernel opens a folder or nothing, never a device.
    if (kind == paths::path_kind::folder && (flags & O_ACCMODE) == O_RDONLY &&
        !(flags & (O_CREAT | O_TRUNC)) && (flags & O_TMPFILE) != O_TMPFILE) {
        int fd = raw::sys_openat(dirfd, path, flags | O_DIRECTORY, 0);
        if (fd >= 0) {
            result = fd;
            return true;
        }
    }
    int fd = -1, err;
    {
        held_card held;
        process_card& sim = held.sim();
        err = !sim.serving                ? (sim.malformed ? EIO : ENOENT)
              : kind == paths::path_kind::node ? open_node(sim, adapter, frontend, flags, fd)
                                          : ENOENT;
        if (!sim.serving && !sim.malformed)
            report_once(sim, "CARDSIM_STATE is not set: no card is simulated, and /dev/dvb is not opened");
    }
    uint64_t now = vclock::now();
    if (err) {
        trace::line(now, "OPEN %s %s", path, strerrorname_np(err));
        result = fail(err);
    } else {
        trace::line(now, "OPEN %s %d", path, fd);
        result = fd;
    }
    return true;
}

// Under g_mutex: a request that the card answers, unless it is unplugged by now.
int answer(served_card& served, bool reg, bool write, uint8_t where, uint32_t& value, uint64_t now)
{
    if (served.unplugged)
        return ENODEV;
    if (served.requests++ >= served.config.unplug_after) {
        served.unplugged = true;
        mark_unplugged(served.config.state);
        return ENODEV;
    }
    card_model& card = served.card;
    return reg ? (write ? card.reg_write(where, value, now) : card.reg_read(where, now, value))
               : (write ? card.window_write(where, value, now) : card.window_read(where, now, value));
}

int serve_request(int fd, uint32_t request, void* arg, uint64_t now)
{
    bool reg = request == request_reg_read || request == request_reg_write;
    bool write = request == request_reg_write || request == request_window_write;
    if (!reg && request != request_window_read && request != request_window_write) {
        trace::line(now, "IOCTL 0x%08x ENOTTY", request);
        return fail(ENOTTY);
    }
    if (!arg)
        return fail(EFAULT);
    const char* name = reg ? (write ? "REG_WRITE" : "REG_READ") : (write ? "WINDOW_WRITE" : "WINDOW_READ");
    auto* r = static_cast<reg_record*>(arg);
    auto* w = static_cast<window_record*>(arg);
    uint8_t where = reg ? r->addr : w->offset;
    if (!reg && w->base != zeb_mailbox::window_base) {
        trace::line(now, "%s 0x%02x BADBASE 0x%08x", name, where, w->base);
        return fail(EINVAL);
    }
    if (t_inside) {
        // A signal handler interrupted this thread inside the card.
        trace::line(now, "%s 0x%02x EINTR", name, where);
        return fail(EINTR);
    }
    uint32_t value = write ? (reg ? r->value : w->value) : 0;

    int err;
    std::string unknown;
    {
        held_card held;
        process_card& sim = held.sim();
        unsigned index = fds::card_of(fd);
        if (index >= sim.cards.size())
            return fail(EIO);
        served_card& served = *sim.cards[index];
        err = answer(served, reg, write, where, value, now);
        if (!err && !write)
            (reg ? r->value : w->value) = value;
        unknown = err == ENODEV ? "" : served.card.unknown();
        report_lost_once(sim, served.card.lost_write());
        if (err == EIO)
            report_once(sim, served.card.error());
    }

    if (err)
        trace::line(now, "%s 0x%02x %s", name, where, strerrorname_np(err));
    else
        trace::line(now, "%s 0x%02x 0x%08x%s%s", name, where, value, unknown.empty() ? "" : " ", unknown.c_str());
    return err ? fail(err) : 0;
}

}  // namespace

bool open(int dirfd, const char* path, int flags, int& result)
{
    if (t_inside) {
        // A signal handler interrupted this thread inside the card: the card's paths fail, nothing waits.
        if (!paths::maybe_card(dirfd, path, flags))
            return false;
        trace::line(vclock::now(), "OPEN %s EINTR", path);
        result = fail(EINTR);
        return true;
    }
    try {
        return open_card(dirfd, path, flags, result);
    } catch (...) {
        say_out_of_memory();
        if (!paths::maybe_card(dirfd, path, flags))
            return false;
        result = fail(EIO);
        return true;
    }
}

namespace {

bool digits(const std::string& s, size_t from, size_t to)
{
    if (from >= to)
        return false;
    for (size_t i = from; i < to; ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return true;
}

// /proc/P/fd/N, /proc/P/task/T/fd/N or /dev/fd/N: a descriptor's link, by
// its path; P ("self" for /dev/fd) and N then.
bool descriptor_link(const std::string& p, std::string& process, long& fd)
{
    const size_t at = p.rfind("/fd/");
    if (at == std::string::npos || !digits(p, at + 4, p.size()) || p.size() - at > 12)
        return false;
    fd = std::stol(p.substr(at + 4));
    const std::string owner = p.substr(0, at);
    if (owner == "/dev") {
        process = "self";
        return true;
    }
    if (owner.rfind("/proc/", 0) != 0)
        return false;
    const std::string rest = owner.substr(6);  // P, or P/task/T
    const size_t task = rest.find("/task/");
    process = rest.substr(0, task);
    return !process.empty() && process.find('/') == std::string::npos &&
           (task == std::string::npos || (rest.find('/', task + 6) == std::string::npos && task + 6 < rest.size()));
}

// The link's path as given, made absolute from the folder it is relative to.
bool absolute_link(int dirfd, const char* path, std::string& out)
{
    if (path[0] == '/') {
        out = path;
        return true;
    }
    char base[PATH_MAX];
    if (!paths::folder_of(dirfd, base) || base[0] != '/')
        return false;
    out = std::string(base) + "/" + path;
    return true;
}

bool show_node_link(int dirfd, const char* path, char* buf, size_t size, ssize_t& result)
{
    std::string where, process;
    long number;
    if (!path || !buf || !absolute_link(dirfd, path, where) || !descriptor_link(where, process, number))
        return false;
    // This program's own descriptors are known: only a node's is shown as one.
    const bool own = process == "self" || process == "thread-self" || process == std::to_string(getpid());
    if (own && !fds::is_node(number >= fds::max_fd ? -1 : int(number)))
        return false;
    char target[PATH_MAX + 1];
    const ssize_t n = raw::sys_readlinkat(dirfd, path, target, PATH_MAX);
    if (n <= 0)
        return false;
    target[n] = '\0';
    ensure_ready();
    std::string node;
    {
        held_card held;
        for (const auto& card : held.sim().cards) {
            char folder[PATH_MAX];
            unsigned adapter, frontend;
            if (realpath(card->config.state.c_str(), folder) &&
                fds::lock_file_node(target, folder, adapter, frontend))
                node = "/dev/dvb/adapter" + std::to_string(adapter) + "/frontend" + std::to_string(frontend);
        }
    }
    if (node.empty())
        return false;
    result = ssize_t(std::min(size, node.size()));
    memcpy(buf, node.data(), size_t(result));
    return true;
}

}  // namespace

bool readlink(int dirfd, const char* path, char* buf, size_t size, ssize_t& result)
{
    if (t_inside)
        return false;  // in a signal handler that interrupted the card: the link as it is
    try {
        return show_node_link(dirfd, path, buf, size, result);
    } catch (...) {
        say_out_of_memory();
        return false;
    }
}

void closed(int fd)
{
    if (fds::forget(fd))
        trace::line(vclock::now(), "CLOSE %d", fd);
}

int ioctl(int fd, uint32_t request, void* arg)
{
    uint64_t now = vclock::request();
    try {
        return serve_request(fd, request, arg, now);
    } catch (...) {
        say_out_of_memory();
        return fail(EIO);
    }
}

int reload()
{
    if (t_inside)
        return fail(EINTR);
    try {
        held_card held;
        process_card& sim = held.sim();
        sim.reported.clear();
        return load(sim);
    } catch (...) {
        say_out_of_memory();
        return -1;
    }
}

}  // namespace cardsim::serve
