// SPDX-License-Identifier: GPL-2.0-or-later
// The fault table: what parses is what formats, and every fault is in
// --help, --list-faults, the manual and docs/cardsim.md.
#include "sim_fixture.h"

#include "faults.h"

using namespace cardsim;

TEST(FaultTable, EveryRowParsesAndFormatsBack)
{
    for (unsigned i = 0; i < fault_count; ++i) {
        std::string label = fault_label(fault_table[i]);
        std::string text = label.find("=N") != std::string::npos ? label.substr(0, label.size() - 1) + "7" : label;
        fault_set f;
        ASSERT_EQ(parse_faults(text, f), "") << text;
        EXPECT_EQ(format_faults(f), text);
    }
    fault_set f;
    EXPECT_EQ(parse_faults("latency=3,busy=forever,spi-busy-polls=2,flash-stuck", f), "");
    EXPECT_EQ(format_faults(f), "busy=forever,latency=3,spi-busy-polls=2,flash-stuck");
    EXPECT_EQ(parse_fault("busy=soon", f),
              "fault 'busy' needs =N (rounds of 2 seconds, 0 to 100000) or =forever");
    EXPECT_EQ(parse_fault("write-error=2", f), "fault 'write-error' takes no value");
}

TEST(FaultTable, EveryFaultIsDocumentedWhereAPersonLooks)
{
    std::string list = testsupport::run({CARDSIM_BIN, "--list-faults"}).out;
    std::string help = testsupport::run({CARDSIM_BIN, "--help"}).out;
    std::string manual = testsupport::read_file(std::string(SOURCE_DIR) + "/packaging/man/cardsim.1");
    std::string docs = testsupport::read_file(std::string(SOURCE_DIR) + "/docs/cardsim.md");
    std::string expected;
    for (unsigned i = 0; i < fault_count; ++i) {
        std::string label = fault_label(fault_table[i]);
        expected += label + "\n";
        EXPECT_NE(help.find("  " + label + " "), std::string::npos) << label;
        // the manual writes "-" as "\-", and N in italics: ".BI latency= n"
        bool numbered = label.size() > 2 && label.compare(label.size() - 2, 2, "=N") == 0;
        std::string roff = numbered ? label.substr(0, label.size() - 1) : label;
        for (size_t at = roff.find('-'); at != std::string::npos; at = roff.find('-', at + 2))
            roff.replace(at, 1, "\\-");
        std::string entry = numbered ? ".BI " + roff + " n\n" : ".B " + roff + "\n";
        EXPECT_NE(manual.find(".TP\n" + entry), std::string::npos) << entry << " in cardsim(1)";
        EXPECT_NE(docs.find("| `" + label + "` |"), std::string::npos) << label << " in docs/cardsim.md";
    }
    EXPECT_EQ(list, expected);
}

TEST(Cardsim, VersionIsTheProjects)
{
    auto r = testsupport::run({CARDSIM_BIN, "--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "cardsim " CARDSIM_VERSION "\n");
}
