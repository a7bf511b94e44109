// SPDX-License-Identifier: GPL-2.0-or-later
// The fixed order of ravelins' actions where only the printed lines show it:
// when a card fault makes several actions print the same text, or nothing,
// the lines still come in the order -i, -r, -R, -N, -c, -x, -K, then the
// output format, whatever the order of the options.
#include "run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const std::string write_failed = " write 24cxx parameter error!!! \n\r";
const std::string setting = "Format is setting, please wait...\n";
const std::string set_ok = "Format is set OK!\n";

class RavelinsOrder : public ::testing::Test {
protected:
    void SetUp() override { dir = testsupport::make_temp_dir("cli-order"); }

    testsupport::Result run(const std::vector<std::string>& args, const std::vector<std::string>& card)
    {
        return testsupport::run_under_cardsim(CARDSIM_PATH, dir, RAVELINS_PATH, args, card);
    }

    void store_eeprom(const std::vector<std::pair<int, std::vector<unsigned char>>>& changes)
    {
        ASSERT_TRUE(testsupport::store_eeprom(dir, changes));
    }

    std::string dir;
};

std::string times(int n, const std::string& text)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += text;
    return out;
}

TEST_F(RavelinsOrder, ReadBackComesBeforeTheMuteWriteThatFails)
{
    store_eeprom({{20, {0, 6}}});
    for (const auto& args : std::vector<std::vector<std::string>>{{"-x", "1", "-c"}, {"-c", "-x", "1"}}) {
        auto r = run(args, {"--fault", "write-error"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "the latest setting is Manual mode:poor 800*480 \n" + write_failed);
    }
}

TEST_F(RavelinsOrder, MuteThenNameThenOutputFormatWhenEveryWriteFails)
{
    // mute: one write; name "ab": four; then the name's restart; then the
    // automatic mode, whose two mode bytes come after its restart
    auto r = run({"-A", "-K", "ab", "-x", "1"}, {"--fault", "write-error"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, write_failed + times(4, write_failed) + setting + set_ok +
                         "set output format to auto mode(the same with input format)\n" + setting + set_ok +
                         times(2, write_failed));
}

TEST_F(RavelinsOrder, WaitsThatRunOutStillKeepTheOrder)
{
    // every wait gives up silently: only the first line of each action shows
    auto r = run({"-M", "2", "-K", "a", "-R", "-r", "-i"}, {"--fault", "busy=forever", "--signal", "720x576@50i"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "input format:\nVRow= 720, VColumn= 576, VFreq= 50, VScan= 0\n"
                     "software Reset, please wait several seconds...\n"
                     "MCU Reset, please wait several seconds...\n" +
                         setting + "set output format to manual mode:\nultra 1440*1080 \n" + setting);
}

TEST_F(RavelinsOrder, MacAndReadBackOfACardThatNeverTakesACommand)
{
    // -N and -c each report the busy receiver for every EEPROM read they make;
    // the MAC line stands between them.
    store_eeprom({{20, {0, 6}}});
    auto r = run({"-c", "-N"}, {"--fault", "receiver-busy"});
    EXPECT_EQ(r.status, 0);
    const std::string busy = " the receiver always busy !\n\r";
    const auto mac = r.out.find("mac address: ");
    ASSERT_NE(mac, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(0, mac), busy);
    const auto after = r.out.find('\n', mac) + 1;
    EXPECT_EQ(r.out.substr(after, busy.size()), busy);
}

}  // namespace
