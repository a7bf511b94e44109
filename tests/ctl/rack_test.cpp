// SPDX-License-Identifier: GPL-2.0-or-later
// ravelinctl for a machine's cards as a whole, under cardsim: the metrics
// collector, configure with the folder of descriptions, and the trail of
// changes in the system log (read through a preloaded syslog).
#include "run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string factory_mac = "00:1a:2b:3c:4d:5e";

class Rack : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = testsupport::make_temp_dir("rack");
        config = dir + "/etc";
        mkdir(config.c_str(), 0755);
        log = dir + "/syslog";
    }

    void TearDown() override
    {
        unsetenv("CARDSIM_PRELOAD_32");
        unsetenv("CARDSIM_PRELOAD_64");
    }

    testsupport::Result run(const std::vector<std::string>& args, const std::vector<std::string>& card = {},
                            const std::vector<std::string>& env = {})
    {
        // cardsim itself starts with the preload too: a sanitized cardsim must
        // not insist on coming first.
        std::vector<std::string> e = {"LD_PRELOAD=" SYSLOG_CAPTURE_PATH, "RAVELIN_TEST_SYSLOG=" + log,
                                      "ASAN_OPTIONS=verify_asan_link_order=0"};
        e.insert(e.end(), env.begin(), env.end());
        return testsupport::run_under_cardsim(CARDSIM_PATH, dir, RAVELINCTL_PATH, args, card, "", e);
    }

    void put(const std::string& name, const std::string& text) const
    {
        FILE* f = std::fopen((config + "/" + name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), f), text.size());
        std::fclose(f);
    }

    // The lines logged since the last call.
    std::vector<std::string> logged()
    {
        std::vector<std::string> lines;
        std::string text = testsupport::read_file(log);
        std::remove(log.c_str());
        for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
            lines.push_back(text.substr(at, end - at));
        return lines;
    }

    int count(const std::string& prefix) const { return testsupport::count_events(dir, prefix); }
    int eeprom_writes() const
    {
        int n = 0;
        for (const auto& e : testsupport::trace_events(dir))
            if (e.rfind("WINDOW_WRITE 0x00 ", 0) == 0 && (std::stoul(e.substr(18), nullptr, 16) & 0xff) == 0x30)
                ++n;
        return n;
    }

    std::string dir, config, log;
};

// The collector's output without its own duration, which is the only value
// that changes from run to run.
std::string without_duration(const std::string& text)
{
    return std::regex_replace(text, std::regex("(ravelin_collector_duration_seconds) [0-9.e+-]+\n"),
                              "$1 D\n");
}

std::string samples(const std::string& text)
{
    return std::regex_replace(text, std::regex("#[^\n]*\n"), "");
}

// ---- The collector

TEST_F(Rack, MetricsOfTwoNodesWithADescriptionThatMatchesAndOneThatDrifted)
{
    put("adapter1-frontend0.json", R"({"output": {"mode": "preset", "preset": 3}, "mute": false})");
    put("00-1A-2B-3C-4D-5E.json", R"({"output": {"mode": "auto"}, "program_name": "Caf\u00e9"})");
    ASSERT_EQ(testsupport::store_eeprom(dir, {{18, {0x60, 4}}, {96, {'C', 'a', 'f', 0xe9}}}), true);
    auto r = run({"metrics", "--config", config}, {"--node", "0:0", "--node", "1:0", "--signal", "1280x720@50i"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // Both nodes are the same card: its MAC's description wins over the place's.
    // Its name is stored in Latin-1, the description asks for UTF-8: a drift.
    const std::string node0 = "adapter=\"0\",frontend=\"0\"", node1 = "adapter=\"1\",frontend=\"0\"";
    const std::string file = config + "/00-1A-2B-3C-4D-5E.json";
    EXPECT_EQ(without_duration(r.out),
              "# HELP ravelin_card_up Whether the card on the node answered (1) or could not be read (0).\n"
              "# TYPE ravelin_card_up gauge\n"
              "ravelin_card_up{" + node0 + "} 1\n"
              "ravelin_card_up{" + node1 + "} 1\n"
              "# HELP ravelin_card_busy Whether another program held the node, so it was not read.\n"
              "# TYPE ravelin_card_busy gauge\n"
              "ravelin_card_busy{" + node0 + "} 0\n"
              "ravelin_card_busy{" + node1 + "} 0\n"
              "# HELP ravelin_card_info The card on the node, by MAC address.\n"
              "# TYPE ravelin_card_info gauge\n"
              "ravelin_card_info{" + node0 + ",mac=\"" + factory_mac + "\"} 1\n"
              "ravelin_card_info{" + node1 + ",mac=\"" + factory_mac + "\"} 1\n"
              "# HELP ravelin_input_signal Whether the card reports an input signal (a width and a height).\n"
              "# TYPE ravelin_input_signal gauge\n"
              "ravelin_input_signal{" + node0 + "} 1\n"
              "ravelin_input_signal{" + node1 + "} 1\n"
              "# HELP ravelin_input_info The format of the input signal, while there is one.\n"
              "# TYPE ravelin_input_info gauge\n"
              "ravelin_input_info{" + node0 + ",width=\"1280\",height=\"720\",rate=\"50\",scan=\"interlaced\"} 1\n"
              "ravelin_input_info{" + node1 + ",width=\"1280\",height=\"720\",rate=\"50\",scan=\"interlaced\"} 1\n"
              "# HELP ravelin_output_info The stored output configuration, with the keys of status --json's output.\n"
              "# TYPE ravelin_output_info gauge\n"
              "ravelin_output_info{" + node0 + ",mode=\"auto\"} 1\n"
              "ravelin_output_info{" + node1 + ",mode=\"auto\"} 1\n"
              "# HELP ravelin_output_muted Whether the stored mute flag is on.\n"
              "# TYPE ravelin_output_muted gauge\n"
              "ravelin_output_muted{" + node0 + "} 0\n"
              "ravelin_output_muted{" + node1 + "} 0\n"
              "# HELP ravelin_program_name_info The stored program name.\n"
              "# TYPE ravelin_program_name_info gauge\n"
              "ravelin_program_name_info{" + node0 + ",program_name=\"Caf\xc3\xa9\"} 1\n"
              "ravelin_program_name_info{" + node1 + ",program_name=\"Caf\xc3\xa9\"} 1\n"
              "# HELP ravelin_config_match Whether the card stores what its description in the configuration "
              "folder asks (1) or not (0).\n"
              "# TYPE ravelin_config_match gauge\n"
              "ravelin_config_match{" + node0 + ",file=\"" + file + "\"} 0\n"
              "ravelin_config_match{" + node1 + ",file=\"" + file + "\"} 0\n"
              "# HELP ravelin_config_valid Whether every description in the configuration folder could be read.\n"
              "# TYPE ravelin_config_valid gauge\n"
              "ravelin_config_valid{dir=\"" + config + "\"} 1\n"
              "# HELP ravelin_collector_errors Nodes and files the last collection could not read.\n"
              "# TYPE ravelin_collector_errors gauge\n"
              "ravelin_collector_errors 0\n"
              "# HELP ravelin_collector_success Whether the last collection read everything it looked at.\n"
              "# TYPE ravelin_collector_success gauge\n"
              "ravelin_collector_success 1\n"
              "# HELP ravelin_collector_duration_seconds How long the last collection took.\n"
              "# TYPE ravelin_collector_duration_seconds gauge\n"
              "ravelin_collector_duration_seconds D\n");
    // Only reads: nothing written, nothing logged.
    EXPECT_EQ(count("REG_WRITE"), 0);
    EXPECT_EQ(eeprom_writes(), 0);
    EXPECT_EQ(logged(), std::vector<std::string>{});

    // Once configure has stored the name in UTF-8, the card matches.
    r = run({"configure", "--config", config});
    ASSERT_EQ(r.status, 0) << r.err;
    logged();
    r = run({"metrics", "--config", config});
    EXPECT_NE(r.out.find("ravelin_config_match{" + node0 + ",file=\"" + file + "\"} 1\n"), std::string::npos)
        << r.out;
}

// The metric's match is what diff and configure find, byte for byte: a name
// whose start byte is not the name area's reads back the same, yet apply
// would write it.
TEST_F(Rack, MetricsMatchIsWhatDiffAndConfigureFind)
{
    put("adapter0-frontend0.json", R"({"program_name": "News", "mute": false})");
    ASSERT_TRUE(testsupport::store_eeprom(dir, {{18, {0x61, 4}}, {96, {'N', 'e', 'w', 's'}}}));
    const std::string match = "ravelin_config_match{adapter=\"0\",frontend=\"0\",file=\"" + config +
                              "/adapter0-frontend0.json\"} ";
    auto r = run({"metrics", "--config", config});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(match + "0\n"), std::string::npos) << r.out;
    r = run({"diff", config + "/adapter0-frontend0.json"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "mute: unchanged\nprogram name: \"News\" -> \"News\"\n");

    r = run({"configure", "--config", config});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "mute: unchanged\nprogram name: changed\n");
    EXPECT_EQ(testsupport::eeprom_hex(dir, 18, 2), "60 04");
    r = run({"metrics", "--config", config});
    EXPECT_NE(r.out.find(match + "1\n"), std::string::npos) << r.out;
    EXPECT_EQ(run({"diff", config + "/adapter0-frontend0.json"}).status, 0);
}

// The metric says "signal" exactly when status's input.signal does.
TEST_F(Rack, MetricsSignalIsStatusSignal)
{
    for (const std::string signal : {"1280x720@50i", "0x0@0i", "0x1080@60p", "1920x0@60p", "1x1@0i"}) {
        SCOPED_TRACE(signal);
        auto st = run({"--json", "status"}, {"--signal", signal});
        ASSERT_EQ(st.status, 0) << st.err;
        const bool status_signal = nlohmann::json::parse(st.out)["input"]["signal"];
        auto r = run({"metrics", "--config", config}, {"--signal", signal});
        EXPECT_EQ(r.status, 0) << r.err;
        const std::size_t at = r.out.find("\nravelin_input_signal{");
        ASSERT_NE(at, std::string::npos) << r.out;
        const std::size_t end = r.out.find('\n', at + 1);
        const std::string sample = r.out.substr(at + 1, end - at - 1);
        EXPECT_EQ(sample.substr(sample.size() - 2), status_signal ? " 1" : " 0") << sample;
        EXPECT_EQ(r.out.find("ravelin_input_info{") != std::string::npos, status_signal);
    }
}

TEST_F(Rack, MetricsSayWhatFailedAndNeverKeepOldValues)
{
    // A broken description: the folder is invalid, no card is compared with
    // anything, and the collection failed; the cards are still shown.
    put("adapter0-frontend0.json", R"({"output": {"mode": "preset", "preset": 9}})");
    auto r = run({"metrics", "--config", config});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("adapter0-frontend0.json: output \"preset\" must be a whole number from 1 to 7"),
              std::string::npos)
        << r.err;
    const std::string s = samples(without_duration(r.out));
    EXPECT_NE(s.find("ravelin_card_up{adapter=\"0\",frontend=\"0\"} 1\n"), std::string::npos);
    EXPECT_EQ(s.find("ravelin_config_match"), std::string::npos);
    EXPECT_NE(s.find("ravelin_config_valid{dir=\"" + config + "\"} 0\n"
                     "ravelin_collector_errors 1\n"
                     "ravelin_collector_success 0\n"),
              std::string::npos)
        << s;

    // A name that is no card is refused the same way.
    std::remove((config + "/adapter0-frontend0.json").c_str());
    put("studio-a.json", "{}");
    r = run({"metrics", "--config", config});
    EXPECT_NE(r.err.find("studio-a.json: the name is no card"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("ravelin_collector_success 0\n"), std::string::npos);
    std::remove((config + "/studio-a.json").c_str());

    // A node that does not answer: up 0 with the reason, and none of its values.
    r = run({"metrics", "--config", config}, {"--fault", "reg-read-fail"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(samples(without_duration(r.out)),
              "ravelin_card_up{adapter=\"0\",frontend=\"0\"} 0\n"
              "ravelin_card_busy{adapter=\"0\",frontend=\"0\"} 0\n"
              "ravelin_node_error_info{adapter=\"0\",frontend=\"0\",error=\"the identifying register read failed: "
              "Input/output error\"} 1\n"
              "ravelin_config_valid{dir=\"" + config + "\"} 1\n"
              "ravelin_collector_errors 1\n"
              "ravelin_collector_success 0\n"
              "ravelin_collector_duration_seconds D\n");

    // A card that stops answering during the collection (the mailbox never completes).
    r = run({"metrics", "--config", config}, {"--fault", "no-completion"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("ravelin_card_up{adapter=\"0\",frontend=\"0\"} 0\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("ravelin_card_info"), std::string::npos);
    EXPECT_NE(r.out.find("ravelin_collector_success 0\n"), std::string::npos);
}

// The shell starts ravelinctl itself where the kernel runs it, else through
// qemu-i386 (the i386 tree runs this test once more as ".qemu").
TEST_F(Rack, MetricsLeaveANodeAnotherProgramHoldsAlone)
{
    if (!testsupport::serve_a_shell(OTHER_CLASS_PRELOAD))
        GTEST_SKIP() << "/bin/sh is of the other class, whose interposer (RAVELIN_OTHER_CLASS_PRELOAD: \""
                     << OTHER_CLASS_PRELOAD << "\") is not built: build that tree first";
    // Busy, not broken: not read, and no error.
    auto r = testsupport::run({CARDSIM_PATH, "--state", dir, "--trace", dir + "/trace", "--", "/bin/sh", "-c",
                               "exec 3<>/dev/dvb/adapter0/frontend0 && " +
                                   testsupport::as_command(RAVELINCTL_PATH) + " metrics --config " + config});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(samples(without_duration(r.out)),
              "ravelin_card_up{adapter=\"0\",frontend=\"0\"} 0\n"
              "ravelin_card_busy{adapter=\"0\",frontend=\"0\"} 1\n"
              "ravelin_config_valid{dir=\"" + config + "\"} 1\n"
              "ravelin_collector_errors 0\n"
              "ravelin_collector_success 1\n"
              "ravelin_collector_duration_seconds D\n");
    // Only the read-only look that tells the card from other DVB cards.
    EXPECT_EQ(count("REG_"), 1);
    EXPECT_EQ(count("WINDOW_"), 0);
}

TEST_F(Rack, MetricsFileIsReplacedWholeAndReadableByTheExporter)
{
    const std::string out = dir + "/ravelin.prom";
    auto r = run({"metrics", "--config", config, "--output", out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const std::string first = testsupport::read_file(out);
    EXPECT_NE(first.find("ravelin_card_up{adapter=\"0\",frontend=\"0\"} 1\n"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    // No temporary is left beside it.
    auto ls = testsupport::run({"/bin/sh", "-c", "ls \"$0\" | grep -c ravelin.prom", dir});
    EXPECT_EQ(ls.out, "1\n");

    // A file that cannot be made: exit 2 before any node is opened.
    r = run({"metrics", "--output", dir + "/no/such/ravelin.prom"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(count("OPEN"), 0);

    for (const auto& bad : std::vector<std::vector<std::string>>{{"metrics", "now"},
                                                                  {"metrics", "--config"},
                                                                  {"metrics", "--output="},
                                                                  {"-a", "1", "metrics"},
                                                                  {"--json", "metrics"}}) {
        r = run(bad);
        EXPECT_EQ(r.status, 2) << bad.back();
        EXPECT_EQ(count(""), 0) << bad.back();
    }
}

// ---- configure

TEST_F(Rack, ConfigureAppliesTheCardsDescriptionOnceAndOnlyThen)
{
    // Nothing in the folder: the node is not even opened.
    auto r = run({"configure", "--config", config, "/dev/dvb/adapter0/frontend0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, config + " holds no configuration for adapter0-frontend0: nothing to do\n");
    EXPECT_EQ(count(""), 0);

    // A description for another card only: read the MAC, write nothing.
    put("02-00-00-00-00-01.json", R"({"mute": true})");
    r = run({"configure", "--config", config});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, config + " holds no configuration for MAC " + factory_mac +
                         " or adapter0-frontend0: nothing to do\n");
    EXPECT_EQ(count("REG_WRITE"), 0);
    EXPECT_EQ(eeprom_writes(), 0);

    // By place.
    put("adapter1-frontend0.json", R"({"output": {"mode": "preset", "preset": 5}, "mute": true})");
    r = run({"configure", "--config", config, "/dev/dvb/adapter1/frontend0"}, {"--node", "1:0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "output: changed\nmute: changed\n");
    EXPECT_EQ(testsupport::eeprom_hex(dir, 20, 3), "00 05 01");
    // Idempotent: the second run writes nothing.
    r = run({"--json", "configure", "--config", config, "/dev/dvb/adapter1/frontend0"}, {"--node", "1:0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\n  \"adapter\": 1,\n  \"frontend\": 0,\n  \"changed\": false,\n  \"written\": []\n}\n");
    EXPECT_EQ(eeprom_writes(), 0);
    EXPECT_EQ(count("REG_WRITE"), 0);

    // By MAC, which wins over the place: the card keeps its description in any slot.
    put("00-1a-2b-3c-4d-5e.json", R"({"output": {"mode": "auto"}})");
    r = run({"configure", "--config", config, "/dev/dvb/adapter1/frontend0"}, {"--node", "1:0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "output: changed\n");
    EXPECT_EQ(testsupport::eeprom_hex(dir, 20, 3), "01 00 01");
}

TEST_F(Rack, ConfigureRefusesABrokenFolderBeforeAnyNodeIsOpened)
{
    const std::vector<std::pair<std::pair<std::string, std::string>, std::string>> cases = {
        {{"studio-a.json", "{}"}, "studio-a.json: the name is no card"},
        {{"adapter0-frontend0.json", "{\"mute\": tru"}, "adapter0-frontend0.json: not JSON"},
        {{"adapter0-frontend0.json", "{\"volume\": 3}"}, "adapter0-frontend0.json: unknown key \"volume\""},
        {{"adapter256-frontend0.json", "{}"}, "the name is no card"},
        {{"00-1a-2b-3c-4d-5g.json", "{}"}, "the name is no card"},
        {{"00-1A-2B-3C-4D-5E.json", "{}"}, "a second description of MAC 00:1a:2b:3c:4d:5e"},
        {{"adapter0-frontend0.json", std::string(70000, ' ')}, "more than 65536 bytes"},
        // Read as apply reads a file: a key given twice is no description.
        {{"adapter0-frontend0.json", "{\"mute\": true, \"mute\": false}"},
         "adapter0-frontend0.json: key \"mute\" given twice in one object"},
    };
    put("00-1a-2b-3c-4d-5e.json", R"({"mute": true})");
    for (const auto& [file, message] : cases) {
        put(file.first, file.second);
        auto r = run({"configure", "--config", config});
        EXPECT_EQ(r.status, 2) << message;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(count(""), 0) << message;  // nothing reached any card
        std::remove((config + "/" + file.first).c_str());
    }
    // An editor's leftovers are not descriptions.
    put("adapter0-frontend0.json~", "{");
    put(".adapter0-frontend0.json.swp", "{");
    auto r = run({"configure", "--config", config});
    EXPECT_EQ(r.status, 0) << r.err;

    // A card's name may point at a description kept elsewhere; a folder is no description.
    std::remove((config + "/00-1a-2b-3c-4d-5e.json").c_str());
    ASSERT_EQ(mkdir((dir + "/shared").c_str(), 0755), 0);
    FILE* f = std::fopen((dir + "/shared/studio.json").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("{\"mute\": false}", f);
    std::fclose(f);
    ASSERT_EQ(symlink((dir + "/shared/studio.json").c_str(), (config + "/00-1a-2b-3c-4d-5e.json").c_str()), 0);
    r = run({"configure", "--config", config}, {"--busy-time", "0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "mute: changed\n");
    ASSERT_EQ(mkdir((config + "/adapter0-frontend0.json").c_str(), 0755), 0);
    r = run({"configure", "--config", config});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("adapter0-frontend0.json: not a regular file"), std::string::npos) << r.err;
    EXPECT_EQ(count(""), 0);

    for (const auto& node : {"/dev/dvb/adapter0", "/dev/dvb/adapter0/frontend", "dvb0.frontend0",
                             "/dev/dvb/adapter01/frontend0", "/dev/dvb/adapter0/frontend0/x"}) {
        r = run({"configure", "--config", config, node});
        EXPECT_EQ(r.status, 2) << node;
        EXPECT_EQ(count(""), 0) << node;
    }
    r = run({"-a", "0", "configure", "/dev/dvb/adapter0/frontend0"});
    EXPECT_EQ(r.status, 2);
}

// ---- The trail

TEST_F(Rack, EveryChangeIsLoggedWithBeforeAfterAndWhoAskedAndNoRead)
{
    auto r = run({"set", "preset", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = logged();
    ASSERT_EQ(lines.size(), 1u);
    // LOG_USER | LOG_NOTICE
    EXPECT_EQ(lines[0].rfind("13 ravelinctl: card " + factory_mac +
                                 " on /dev/dvb/adapter0/frontend0: output {\"mode\":\"auto\"} -> "
                                 "{\"mode\":\"preset\",\"preset\":3,\"name\":\"excellent\"}: written; asked by ",
                             0),
              0u)
        << lines[0];
    EXPECT_NE(lines[0].find("(uid " + std::to_string(getuid()) + ")"), std::string::npos) << lines[0];

    // Reads and changes with nothing to change leave no line.
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"status"}, {"list"}, {"flash", "id"}, {"set", "preset", "excellent"}, {"metrics"}}) {
        r = run(args);
        EXPECT_EQ(r.status, 0) << args[0] << r.err;
        EXPECT_EQ(logged(), std::vector<std::string>{}) << args[0];
    }

    // Two settings: two lines; the name byte for byte.
    put("card.json", R"({"mute": true, "program_name": "Studio \"A\""})");
    r = run({"apply", config + "/card.json"}, {}, {"SUDO_USER=alice"});
    ASSERT_EQ(r.status, 0) << r.err;
    lines = logged();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(": mute false -> true: written (" + config + "/card.json); asked by "),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find(": program_name \"\" -> \"Studio \\x22A\\x22\": written"), std::string::npos)
        << lines[1];
    // sudo's user is named where sudo could have set it: only for root.
    for (const auto& l : lines)
        EXPECT_EQ(l.find("through sudo by alice") != std::string::npos, geteuid() == 0) << l;

    r = run({"reset", "capture"});
    ASSERT_EQ(r.status, 0) << r.err;
    lines = logged();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(": reset capture: done; asked by "), std::string::npos) << lines[0];
}

TEST_F(Rack, AFailedChangeIsLoggedAsFailed)
{
    auto r = run({"mute", "on"}, {"--fault", "write-error"});
    EXPECT_EQ(r.status, 1);
    auto lines = logged();
    ASSERT_EQ(lines.size(), 1u);
    // LOG_USER | LOG_ERR
    EXPECT_EQ(lines[0].rfind("11 ravelinctl: card " + factory_mac + " on /dev/dvb/adapter0/frontend0: mute false -> "
                                                                    "true: failed while ",
                             0),
              0u)
        << lines[0];

    r = run({"reset", "mcu"}, {"--fault", "busy=forever"});
    EXPECT_EQ(r.status, 1);
    lines = logged();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(": reset mcu: failed while resetting the microcontroller: "), std::string::npos)
        << lines[0];
}

}  // namespace
