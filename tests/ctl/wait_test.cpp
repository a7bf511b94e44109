// SPDX-License-Identifier: GPL-2.0-or-later
// --wait: a node that a second program under the same cardsim holds is tried
// again until it is free or the time is up, and the holder is named.
#include "run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

using json = nlohmann::json;

const std::string node = "/dev/dvb/adapter0/frontend0";
const std::string busy_open = "OPEN " + node + " EBUSY";

class Wait : public ::testing::Test {
protected:
    void SetUp() override { dir = testsupport::make_temp_dir("wait"); }

    void TearDown() override
    {
        unsetenv("CARDSIM_PRELOAD_32");
        unsetenv("CARDSIM_PRELOAD_64");
    }

    // cardsim's shell runs `script` with $RAVELINCTL set; its output starts
    // with the shell's pid ("$$"), which holds the node on descriptor 3.
    testsupport::Result held(const std::string& script, const std::vector<std::string>& card = {})
    {
        std::vector<std::string> argv = {CARDSIM_PATH, "--state", dir, "--trace", dir + "/trace"};
        argv.insert(argv.end(), card.begin(), card.end());
        const std::vector<std::string> shell = {
            "--", "/bin/sh", "-c",
            "RAVELINCTL='" + testsupport::as_command(RAVELINCTL_PATH) + "'; echo $$; exec 3<>" + node + " && " +
                script};
        argv.insert(argv.end(), shell.begin(), shell.end());
        std::remove((dir + "/trace").c_str());
        return testsupport::run(argv);
    }

    // The first line of out (the holder's pid), taken off.
    static std::string take_pid(std::string& out)
    {
        const auto newline = out.find('\n');
        const std::string pid = out.substr(0, newline);
        out.erase(0, newline == std::string::npos ? out.size() : newline + 1);
        return pid;
    }

    std::vector<std::string> trace() const { return testsupport::trace_events(dir); }
    int count(const std::string& prefix) const { return testsupport::count_events(dir, prefix); }

    std::string dir;
};

#define SKIP_WITHOUT_A_SHELL()                                                                                    \
    if (!testsupport::serve_a_shell(OTHER_CLASS_PRELOAD))                                                          \
    GTEST_SKIP() << "/bin/sh is of the other class, whose interposer (RAVELIN_OTHER_CLASS_PRELOAD: \""           \
                 << OTHER_CLASS_PRELOAD << "\") is not built: build that tree first"

// The trace's virtual times of the busy opens, in milliseconds.
std::vector<long> busy_times(const std::string& dir)
{
    std::vector<long> times;
    for (const auto& e : testsupport::read_trace(dir))
        if (e.what == busy_open)
            times.push_back(std::lround(e.time * 1000));
    return times;
}

}  // namespace

// Virtual time: the two seconds paused cost no real time, and the tries are
// those of the limit: one at once, then one after each quarter second.
TEST_F(Wait, TimeRunsOutNamingTheHolder)
{
    SKIP_WITHOUT_A_SHELL();
    auto r = held("$RAVELINCTL --wait=2 --json status; echo $?");
    const std::string pid = take_pid(r.out);
    const auto newline = r.out.find('\n', r.out.rfind('}'));
    ASSERT_NE(newline, std::string::npos) << r.out << r.err;
    EXPECT_EQ(r.out.substr(newline + 1), "3\n");
    EXPECT_EQ(json::parse(r.out.substr(0, newline)),
              (json{{"error", "Device or resource busy after 2 s of waiting; process " + pid +
                                  " (sh) has it open: end it and try again"},
                    {"step", "opening " + node},
                    {"exit", 3}}));
    EXPECT_EQ(busy_times(dir), (std::vector<long>{0, 250, 500, 750, 1000, 1250, 1500, 1750, 2000}));
    EXPECT_EQ(count("REG_"), 0);
    EXPECT_EQ(count("WINDOW_"), 0);

    // without --wait, and --wait=0: one try, the holder named just the same
    for (const std::string options : {"", " --wait=0"}) {
        r = held("$RAVELINCTL" + options + " mute on");
        EXPECT_EQ(r.status, 3) << options;
        EXPECT_EQ(r.err, "ravelinctl: opening " + node + ": Device or resource busy; process " + take_pid(r.out) +
                             " (sh) has it open: end it and try again\n")
            << options;
        EXPECT_EQ(count(busy_open), 1) << options;
    }

    // --mac waits for the busy node whose MAC it needs, then reports it
    r = held("$RAVELINCTL --wait=1 --mac 00:1a:2b:3c:4d:5e status");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "ravelinctl: looking for the card with MAC 00:1a:2b:3c:4d:5e: no card with MAC "
                     "00:1a:2b:3c:4d:5e among 1 nodes; " +
                         node + ": Device or resource busy (ravelinctl list shows them)\n");
    EXPECT_EQ(count(busy_open), 5);

}

// The holder lets go after ravelinctl's first try; ravelinctl's next try
// finds the node free and reads the card. This case runs in real time:
// under virtual time ravelinctl's pauses take none, so its tries would all
// be over before the holder could let go. Its second try comes a quarter
// second after the first, and with --wait=60 it has 240 more: the holder
// lets go when inotify tells it of the first, long before they are used up.
TEST_F(Wait, ServedWhenTheHolderLetsGo)
{
    SKIP_WITHOUT_A_SHELL();
    std::vector<std::string> argv = {CARDSIM_PATH, "--real-time", "--state", dir, "--trace", dir + "/trace", "--"};
    std::istringstream words(testsupport::as_command(HOLD_NODE_PATH) + " " + node + " " +
                             testsupport::as_command(RAVELINCTL_PATH) + " --wait=60 --json status");
    for (std::string w; words >> w;)
        argv.push_back(w);
    auto r = testsupport::run(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    json j;
    ASSERT_NO_THROW(j = json::parse(r.out)) << r.out;
    EXPECT_EQ(j["mac"], "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(j["output"], json::parse(R"({"mode": "auto"})"));
    // the holder's open; ravelinctl's busy tries, then its own open once the
    // holder's close is under way (its line written before the descriptor
    // is closed); the card's requests after that. A busy try's line and the
    // holder's close may come in either order.
    std::vector<std::string> t;
    for (const auto& e : trace())
        if (e.rfind("SLEEP ", 0) != 0)
            t.push_back(e);
    const std::string holder_open = "OPEN " + node + " ";
    ASSERT_FALSE(t.empty());
    ASSERT_EQ(t[0].rfind(holder_open, 0), 0u) << t[0];
    const auto close = std::find(t.begin(), t.end(), "CLOSE " + t[0].substr(holder_open.size()));
    const auto served = std::find_if(t.begin() + 1, t.end(), [&](const std::string& e) {
        return e.rfind(holder_open, 0) == 0 && e != busy_open;
    });
    ASSERT_NE(served, t.end());
    EXPECT_LT(close, served);
    EXPECT_GE(std::count(t.begin(), served, busy_open), 1);
    EXPECT_EQ(std::count(served, t.end(), busy_open), 0);
    ASSERT_NE(served + 1, t.end());
    EXPECT_EQ(served[1].rfind("REG_READ ", 0), 0u) << served[1];
    EXPECT_GT(count("REG_READ"), 0);
}

TEST_F(Wait, ProgressLineNamesTheHolder)
{
    SKIP_WITHOUT_A_SHELL();
    // on a terminal: once a second, on one line, then the message
    auto on_terminal = [&](const std::string& options) {
        const std::string command = testsupport::as_command(CARDSIM_PATH) + " --state " + dir + " -- /bin/sh -c " +
                                    "'echo $$; exec 3<>" + node + " && " + testsupport::as_command(RAVELINCTL_PATH) +
                                    " --wait=2" + options + " status'";
        return testsupport::run({"script", "-q", "-e", "-c", command, "/dev/null"});
    };
    auto r = on_terminal("");
    EXPECT_EQ(r.status, 3);
    const auto newline = r.out.find("\r\n");
    ASSERT_NE(newline, std::string::npos) << r.out;
    const std::string pid = r.out.substr(0, newline);
    const std::string line = "\rwaiting for process " + pid + " (sh) to let go of " + node + ": ";
    EXPECT_EQ(r.out.substr(newline + 2), line + "0 s of 2 s " + line + "1 s of 2 s \r\n" +
                                             "ravelinctl: opening " + node +
                                             ": Device or resource busy after 2 s of waiting; process " + pid +
                                             " (sh) has it open: end it and try again\r\n");
    for (const std::string options : {" --quiet", " --json"}) {
        r = on_terminal(options);
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.out.find("waiting for"), std::string::npos) << options << r.out;
    }
}

// Bad values: exit 2 before any node is opened.
TEST_F(Wait, BadValuesAreRefusedBeforeAnyOpen)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--wait=", "status"}, "--wait: \"\" is not a decimal number (0-86400)"},
        {{"--wait=-1", "status"}, "--wait: \"-1\" is not a decimal number (0-86400)"},
        {{"--wait=1.5", "status"}, "--wait: \"1.5\" is not a decimal number (0-86400)"},
        {{"--wait=08", "status"}, "--wait: \"08\" has a leading zero; write it in decimal without (0-86400)"},
        {{"--wait=86401", "status"}, "--wait: 86401 is outside 0-86400"},
        {{"--wait=99999999999", "status"}, "--wait: \"99999999999\" is not a decimal number (0-86400)"},
        {{"--wait", "5", "status"}, "unknown command \"5\"; see --help"},
        {{"--wait", "--wait=3", "status"}, "--wait given twice"},
        {{"--wait=3", "list"}, "list waits for no node, it says which are busy: --wait does not apply"},
        {{"--wait", "metrics"}, "metrics waits for no node, it reports which are busy: --wait does not apply"},
    };
    for (const auto& [args, message] : cases) {
        auto r = testsupport::run_under_cardsim(CARDSIM_PATH, dir, RAVELINCTL_PATH, args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_EQ(r.err, "ravelinctl: parsing the command line: " + message + "\n") << args[0];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(count("OPEN"), 0) << args[0];
    }
    // a value within range on a free node changes nothing
    auto r = testsupport::run_under_cardsim(CARDSIM_PATH, dir, RAVELINCTL_PATH, {"--wait=86400", "status"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count(busy_open), 0);
}

// A node that is missing or refused is not waited for: one try, the message as without --wait.
TEST_F(Wait, OnlyABusyNodeIsWaitedFor)
{
    auto r = testsupport::run_under_cardsim(CARDSIM_PATH, dir, RAVELINCTL_PATH, {"--wait=5", "-a", "2", "status"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "ravelinctl: opening /dev/dvb/adapter2/frontend0: No such file or directory; check the adapter "
                     "and frontend numbers (ravelinctl list) and that the card's driver is loaded\n");
    EXPECT_EQ(count("OPEN /dev/dvb/adapter2/frontend0 ENOENT"), 1);
    EXPECT_EQ(count("SLEEP"), 0);

    r = testsupport::run_under_cardsim(CARDSIM_PATH, dir, RAVELINCTL_PATH, {"--wait", "mute", "on"}, {"--deny"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "ravelinctl: opening " + node + ": Permission denied; add the user to the group that owns the "
                     "node (usually video: sudo adduser \"$USER\" video) and log in again\n");
    EXPECT_EQ(count("OPEN " + node + " EACCES"), 1);
    EXPECT_EQ(count("SLEEP"), 0);
}
