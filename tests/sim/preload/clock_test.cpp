// SPDX-License-Identifier: GPL-2.0-or-later
// Virtual time: sleeps return at once and advance one clock by what they asked for.
#include "sim_fixture.h"

#include <thread>
#include <time.h>

// The suite is named after what this file guards.
using Time = SimTest;

TEST_F(Time, EverySleepAdvancesTheClockExactly)
{
    start({}, false);
    EXPECT_EQ(cardsim_now_ns(), 0u);
    usleep(1000);
    EXPECT_EQ(cardsim_now_ns(), 1000000u);
    EXPECT_EQ(sleep(2), 0u);
    EXPECT_EQ(cardsim_now_ns(), 2001000000u);
    timespec half{0, 500000000};
    EXPECT_EQ(nanosleep(&half, nullptr), 0);
    timespec quarter{1, 250000000};
    EXPECT_EQ(clock_nanosleep(CLOCK_MONOTONIC, 0, &quarter, nullptr), 0);
    EXPECT_EQ(cardsim_now_ns(), 3751000000u);
}

TEST_F(Time, SleepsCostNoRealTime)
{
    start({}, false);
    timespec before, after;
    clock_gettime(CLOCK_MONOTONIC, &before);
    sleep(3600);
    clock_gettime(CLOCK_MONOTONIC, &after);
    EXPECT_LT(after.tv_sec - before.tv_sec, 60);  // clock reads stay real
    EXPECT_EQ(cardsim_now_ns(), 3600000000000u);
}

TEST_F(Time, ThreadsShareOneClock)
{
    start({}, false);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 1000; ++i)
                usleep(1000);
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(cardsim_now_ns(), 4000000000u);
}

TEST_F(Time, MalformedSleepsAreRefusedWithoutAdvancing)
{
    start({}, false);
    timespec bad{0, 1000000000};
    EXPECT_EQ(nanosleep(&bad, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    timespec negative{-1, 0};
    EXPECT_EQ(clock_nanosleep(CLOCK_REALTIME, 0, &negative, nullptr), EINVAL);
    EXPECT_EQ(cardsim_now_ns(), 0u);
}

TEST_F(Time, AbsoluteSleepAdvancesToItsDeadline)
{
    start({}, false);
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += 100;
    EXPECT_EQ(clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr), 0);
    EXPECT_GT(cardsim_now_ns(), 99000000000u);
    EXPECT_LE(cardsim_now_ns(), 100000000000u);
}

TEST_F(Time, ReloadSetsTheClockBack)
{
    start({}, false);
    sleep(5);
    EXPECT_EQ(cardsim_reload(), 0);
    EXPECT_EQ(cardsim_now_ns(), 0u);
}

TEST_F(Time, RealTimeClockIsTheMonotonicClock)
{
    start({"CARDSIM_VTIME=0"}, false);
    timespec before, after, tiny{0, 1};
    clock_gettime(CLOCK_MONOTONIC, &before);
    unsigned long long first = cardsim_now_ns();
    EXPECT_EQ(nanosleep(&tiny, nullptr), 0);  // a real sleep of 1 ns
    unsigned long long second = cardsim_now_ns();
    clock_gettime(CLOCK_MONOTONIC, &after);
    long long real_ns = (after.tv_sec - before.tv_sec) * 1000000000ll + (after.tv_nsec - before.tv_nsec);
    EXPECT_GT(second, first);
    EXPECT_LE((long long)(second - first), real_ns);
}
