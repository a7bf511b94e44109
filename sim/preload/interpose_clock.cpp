// SPDX-License-Identifier: GPL-2.0-or-later
#include "interpose_clock.h"

#include "config.h"
#include "interpose_serve.h"
#include "interpose_trace.h"
#include "raw_sys.h"

#include <atomic>

namespace cardsim::vclock {

namespace {

std::atomic<bool> g_virtual{true};
std::atomic<uint64_t> g_clock{0};
std::atomic<uint64_t> g_mono_start{0};
std::atomic<uint64_t> g_request_ns{0};

}  // namespace

void reset(bool virtual_time, uint64_t request_ns)
{
    g_virtual.store(virtual_time);
    g_clock.store(0);
    g_mono_start.store(raw::monotonic_ns());
    g_request_ns.store(request_ns);
}

bool is_virtual() { return g_virtual.load(std::memory_order_relaxed); }

uint64_t now()
{
    if (is_virtual())
        return g_clock.load(std::memory_order_relaxed);
    return raw::monotonic_ns() - g_mono_start.load(std::memory_order_relaxed);
}

uint64_t request()
{
    if (!is_virtual())
        return now();
    return g_clock.fetch_add(g_request_ns.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

bool sleep(uint64_t ns)
{
    serve::ensure_ready();
    uint64_t at = is_virtual() ? g_clock.fetch_add(ns) : now();
    if (trace::on())
        trace::line(at, "SLEEP %llu.%09llu", (unsigned long long)(ns / ns_per_second),
                    (unsigned long long)(ns % ns_per_second));
    return is_virtual();
}

bool valid(long long sec, long nsec) { return sec >= 0 && nsec >= 0 && nsec < 1000000000L; }

uint64_t to_ns(long long sec, long nsec)
{
    if (uint64_t(sec) >= forever / ns_per_second)
        return forever / 2;
    return uint64_t(sec) * ns_per_second + uint64_t(nsec);
}

bool is_virtual_clock(clockid_t clock)
{
    return clock == CLOCK_REALTIME || clock == CLOCK_MONOTONIC || clock == CLOCK_BOOTTIME || clock == CLOCK_TAI;
}

uint64_t duration(clockid_t clock, int flags, long long sec, long nsec)
{
    uint64_t ns = to_ns(sec, nsec);
    if (!(flags & TIMER_ABSTIME))
        return ns;
    struct timespec current;
    clock_gettime(clock, &current);
    uint64_t c = to_ns(current.tv_sec, current.tv_nsec);
    return ns > c ? ns - c : 0;
}

}  // namespace cardsim::vclock
