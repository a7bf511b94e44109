// SPDX-License-Identifier: GPL-2.0-or-later
#include "interpose_serve.h"

#include "card.h"
#include "config.h"
#include "interpose_clock.h"
#include "interpose_fds.h"
#include "interpose_libc.h"
#include "interpose_paths.h"
#include "interpose_trace.h"
#include "state.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include "zebecp3-spi.h"

namespace cardsim::serve {

namespace {

// The driver's four requests, as the card access library names them.
constexpr uint32_t kRegRead = REG_READ, kRegWrite = REG_WRITE;
constexpr uint32_t kWindowRead = WINDOW_READ, kWindowWrite = WINDOW_WRITE;
constexpr unsigned kWindowBase = zeb_mailbox::window_base;

struct Sim {
    Config config;
    std::unique_ptr<State> state;
    std::unique_ptr<Card> card;
    bool serving = false;       // CARDSIM_STATE set and everything parsed
    bool malformed = false;     // a CARDSIM_* setting is wrong: DVB opens fail with EIO
    bool state_ready = false;   // the state folder checked (at the first open)
    std::string reported;       // the messages already written, so each shows once
};

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
Sim* g_sim = nullptr;              // guarded by g_mutex, never freed
std::atomic<bool> g_ready{false};  // g_sim made

void say(const std::string& text)
{
    std::string line = "cardsim: " + text + "\n";
    ssize_t ignored = write(2, line.data(), line.size());
    (void)ignored;
}

// Under g_mutex.
void report_once(Sim& sim, const std::string& text)
{
    if (text.empty() || sim.reported.find(text + "\n") != std::string::npos)
        return;
    sim.reported += text + "\n";
    say(text);
}

void at_fork_prepare() { pthread_mutex_lock(&g_mutex); }
void at_fork_parent() { pthread_mutex_unlock(&g_mutex); }
void at_fork_child()
{
    if (g_sim && g_sim->state)
        g_sim->state->forget_descriptors();
    pthread_mutex_unlock(&g_mutex);
}

// Under g_mutex: (re)reads the environment and makes a new card.
int load(Sim& sim)
{
    sim.card.reset();
    sim.state.reset();
    sim.serving = false;
    sim.malformed = false;
    sim.state_ready = false;
    const char* vt = getenv("CARDSIM_VTIME");
    vclock::reset(!(vt && strcmp(vt, "0") == 0), 0);
    trace::open("");

    const char* state_dir = getenv("CARDSIM_STATE");
    if (!state_dir || !*state_dir)
        return -1;  // no card: DVB opens fail with ENOENT
    std::string err = config_from_env(sim.config);
    if (!err.empty()) {
        report_once(sim, err + " (no card is served; every open of /dev/dvb fails with EIO)");
        sim.malformed = true;
        return -1;
    }
    vclock::reset(sim.config.vtime, sim.config.request_ns);
    report_once(sim, trace::open(sim.config.trace));
    sim.state.reset(new State(sim.config.state));
    sim.card.reset(new Card(sim.config, *sim.state));
    sim.serving = true;
    fds::adopt_inherited(sim.config.state);
    return 0;
}

// The process's card, made on first use. Returns with g_mutex held.
Sim& lock_sim()
{
    pthread_mutex_lock(&g_mutex);
    if (!g_sim) {
        g_sim = new Sim;
        pthread_atfork(at_fork_prepare, at_fork_parent, at_fork_child);
        load(*g_sim);
        g_ready.store(true);
    }
    return *g_sim;
}

int fail(int err)
{
    errno = err;
    return -1;
}

// Under g_mutex: 0 and the node's descriptor in fd, or an errno value.
int open_node(Sim& sim, unsigned adapter, unsigned frontend, int flags, int& fd)
{
    if (!sim.serving)
        return sim.malformed ? EIO : ENOENT;
    if (!sim.config.lists(adapter, frontend))
        return ENOENT;
    if (!sim.state_ready) {
        std::string problem = sim.state->prepare(sim.config.mac);
        if (!problem.empty()) {
            report_once(sim, problem);
            return EIO;
        }
        sim.state_ready = true;
    }
    // Like the DVB frontend: one writer at a time, any number of readers. The
    // descriptor is the node's lock file itself, so that the node stays open
    // as long as any copy of it (dup, fork, exec) does, as a device would.
    std::string err;
    fd = sim.state->open_node_lock(adapter, frontend, flags, err);
    if (fd < 0) {
        report_once(sim, err);
        return EIO;
    }
    if (fd >= fds::kMaxFd) {
        libc::sys_close(fd);
        return EMFILE;
    }
    if ((flags & O_ACCMODE) != O_RDONLY && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno == EWOULDBLOCK ? EBUSY : errno;
        libc::sys_close(fd);
        return e;
    }
    fds::mark_node(fd);
    return 0;
}

}  // namespace

void ensure_ready()
{
    if (!g_ready.load(std::memory_order_acquire)) {
        lock_sim();
        pthread_mutex_unlock(&g_mutex);
    }
}

bool open(int dirfd, const char* path, int flags, int& result)
{
    unsigned adapter = 0, frontend = 0;
    paths::Kind kind = paths::classify(dirfd, path, flags, adapter, frontend);
    if (kind == paths::Kind::other)
        return false;
    Sim& sim = lock_sim();
    int fd = -1;
    int err = !sim.serving            ? (sim.malformed ? EIO : ENOENT)
              : kind == paths::Kind::node ? open_node(sim, adapter, frontend, flags, fd)
                                          : ENOENT;
    if (!sim.serving && !sim.malformed)
        report_once(sim, "CARDSIM_STATE is not set: no card is simulated, and /dev/dvb is not opened");
    pthread_mutex_unlock(&g_mutex);
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

void closed(int fd)
{
    if (fds::forget(fd))
        trace::line(vclock::now(), "CLOSE %d", fd);
}

int ioctl(int fd, uint32_t request, void* arg)
{
    (void)fd;
    uint64_t now = vclock::request();
    bool reg = request == kRegRead || request == kRegWrite;
    bool write = request == kRegWrite || request == kWindowWrite;
    if (!reg && request != kWindowRead && request != kWindowWrite) {
        trace::line(now, "IOCTL 0x%08x ENOTTY", request);
        return fail(ENOTTY);
    }
    if (!arg)
        return fail(EFAULT);
    const char* name = reg ? (write ? "REG_WRITE" : "REG_READ") : (write ? "WINDOW_WRITE" : "WINDOW_READ");
    auto* r = static_cast<reg_record*>(arg);
    auto* w = static_cast<window_record*>(arg);
    uint8_t where = reg ? r->addr : w->offset;
    if (!reg && w->base != kWindowBase) {
        trace::line(now, "%s 0x%02x BADBASE 0x%08x", name, where, w->base);
        return fail(EINVAL);
    }
    uint32_t value = write ? (reg ? r->value : w->value) : 0;

    Sim& sim = lock_sim();
    if (!sim.card) {
        pthread_mutex_unlock(&g_mutex);
        return fail(EIO);
    }
    Card& card = *sim.card;
    int err = reg ? (write ? card.reg_write(where, value, now) : card.reg_read(where, now, value))
                  : (write ? card.window_write(where, value, now) : card.window_read(where, now, value));
    if (!err && !write)
        (reg ? r->value : w->value) = value;
    std::string unknown = card.unknown();
    if (err == EIO)
        report_once(sim, card.error());
    pthread_mutex_unlock(&g_mutex);

    if (err)
        trace::line(now, "%s 0x%02x %s", name, where, strerrorname_np(err));
    else
        trace::line(now, "%s 0x%02x 0x%08x%s%s", name, where, value, unknown.empty() ? "" : " ", unknown.c_str());
    return err ? fail(err) : 0;
}

int reload()
{
    Sim& sim = lock_sim();
    sim.reported.clear();
    int r = load(sim);
    pthread_mutex_unlock(&g_mutex);
    return r;
}

}  // namespace cardsim::serve
