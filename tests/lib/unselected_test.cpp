// SPDX-License-Identifier: GPL-2.0-or-later
// A process in which no program has chosen its texts: the library works the
// card but prints nothing. Its own executable, so that nothing chose before.
#include "run.h"
#include "sim_state.h"
#include "zeb_program.h"
#include "zebecp3-spi.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::string> captured;
void capture(const char* text, bool) { captured.push_back(text); }

TEST(Unselected, LibraryPrintsNothingUntilAProgramChooses)
{
    const testsupport::SimState state("unselected");
    const std::string dir = state.dir();
    ASSERT_EQ(state.start({"CARDSIM_TRACE=" + dir + "/trace", "CARDSIM_SIGNAL=1280x720@50p", "CARDSIM_BUSY_TIME=0"}),
              "");
    zebecp3 card{};
    card.setFrontend(open("/dev/dvb/adapter0/frontend0", O_RDWR | O_NONBLOCK));
    ASSERT_GE(card.i_frontend, 0);

    // Standard output into a file for the calls that would print.
    const std::string out_path = dir + "/stdout";
    std::fflush(stdout);
    const int saved = dup(1);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(out, 0);
    dup2(out, 1);
    close(out);
    unsigned short format[4] = {};
    card.GetCaptureFormat(format);
    card.SetCaptureFormat(0, 9);  // the help text for a preset outside 1 to 7
    unsigned char buf[8] = {};
    card.read_24cxx(0, 0, buf);  // the error for no bytes
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);

    EXPECT_EQ(testsupport::read_file(out_path), "");
    EXPECT_EQ(format[0], 1280);  // the card was asked all the same
    EXPECT_NE(testsupport::read_file(dir + "/trace").find("REG_WRITE 0x4c 0x00000009"), std::string::npos);
    EXPECT_EQ(zeb_current_program().mailbox_polls, zeb_program_ravelins.mailbox_polls);

    zeb_select_program(zeb_program_ravelins, capture);
    card.GetCaptureFormat(format);
    EXPECT_EQ(captured, std::vector<std::string>{
                            "input format:\nVRow= 1280, VColumn= 720, VFreq= 50, VScan= 1"});
    close(card.i_frontend);
}

}  // namespace
