// SPDX-License-Identifier: GPL-2.0-or-later
// Several processes on one card: programs started under cardsim with the test client.
#include "sim_fixture.h"

#include "exec32.h"

// The suite is named after this file, so that a failing test leads to it.
using Process = SimTest;

namespace {

testsupport::Result client(const std::string& state, const std::vector<std::string>& ops,
                           const std::vector<std::string>& options = {})
{
    std::vector<std::string> argv{CARDSIM_BIN, "--state", state};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("--");
    argv.push_back(CLIENT_BIN);
    argv.insert(argv.end(), ops.begin(), ops.end());
    return testsupport::run(argv);
}

}  // namespace

TEST_F(Process, ClientOfThisTreesClassIsServed)
{
    start({}, false);
    EXPECT_EQ(cardsim::elf_bits(CLIENT_BIN), int(sizeof(void*) * 8));
    auto r = client(dir, {"open", "0:0", "rr", "0x48", "rr", "0x4c"}, {"--signal", "1280x720@50p"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "open ok\nrr 0xd0020005\nrr 0x00000132\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Process, SecondReadWriteOpenInAnotherProcessIsBusy)
{
    start();
    auto r = client(dir, {"open", "0:0", "openro", "0:0"});
    EXPECT_EQ(r.out, "open EBUSY\nopenro ok\n");
    close(fd);
    fd = -1;
    r = client(dir, {"open", "0:0"});
    EXPECT_EQ(r.out, "open ok\n");
}

TEST_F(Process, EepromPersistsAcrossProcesses)
{
    start({}, false);
    auto w = client(dir, {"open", "0:0", "eeprom-write", "96", "0x61", "0x62", "0x63"});
    EXPECT_EQ(w.out, "open ok\neeprom-write ok\n");
    EXPECT_EQ(file("eeprom").substr(96, 3), "abc");
    auto r = client(dir, {"open", "0:0", "eeprom-read", "96", "3", "eeprom-read", "20", "1"});
    EXPECT_EQ(r.out, "open ok\neeprom 61 62 63\neeprom 01\n");
}

TEST_F(Process, ChildSleepsAreVirtual)
{
    start({}, false);
    // Named: GCC 16 takes the temporary list's destruction for a free of a
    // pointer into it (-Wfree-nonheap-object).
    const std::vector<std::string> sleeps{"usleep", "1000", "usleep", "2000000", "now"};
    auto r = client(dir, sleeps);
    EXPECT_EQ(r.out, "now 2.001000000\n");
}

TEST_F(Process, FaultOptionsReachTheChild)
{
    start({}, false);
    auto r = client(dir, {"open", "0:0", "eeprom-write", "22", "1", "rr", "0x48"},
                    {"--fault", "receiver-busy", "--fault", "reg-read-fail"});
    EXPECT_EQ(r.out, "open ok\neeprom-write receiver-busy\nrr EIO\n");
    r = client(dir, {"open", "0:0", "eeprom-write", "22", "1"}, {"--fault", "write-error"});
    EXPECT_EQ(r.out, "open ok\neeprom-write write-error\n");
    r = client(dir, {"open", "0:0", "eeprom-write", "22", "1"}, {"--fault", "no-completion"});
    EXPECT_EQ(r.out, "open ok\neeprom-write timeout\n");
    r = client(dir, {"open", "1:0", "open", "0:0"}, {"--node", "1:0"});
    EXPECT_EQ(r.out, "open ok\nopen ENOENT\n");
}

TEST_F(Process, ExitStatusIsTheCommands)
{
    start({}, false);
    EXPECT_EQ(client(dir, {"exit", "7"}).status, 7);
}

TEST_F(Process, ChildTraceHasTheExactLines)
{
    start({}, false);
    std::string trace = dir + "/trace.txt";
    auto r = client(dir, {"open", "0:0", "rr", "0x48", "status", "usleep", "1500", "close"},
                    {"--trace", trace});
    ASSERT_EQ(r.status, 0) << r.err;
    // The client's own descriptors: 0 to 2, then the lock files of the interposer.
    std::string text = testsupport::read_file(trace);
    size_t space = text.find(' ', text.find("frontend0"));
    std::string fd_number = text.substr(space + 1, text.find('\n') - space - 1);
    // Each request costs 1 us by default; opens, closes and the trace itself cost nothing.
    EXPECT_EQ(text, "0.000000000 OPEN /dev/dvb/adapter0/frontend0 " + fd_number +
                        "\n"
                        "0.000000000 REG_READ 0x48 0x38048007\n"
                        "0.000001000 WINDOW_READ 0x00 0x00000001\n"
                        "0.000002000 SLEEP 0.001500000\n"
                        "0.001502000 CLOSE " +
                        fd_number + "\n");
}

// A node descriptor handed on across fork and exec keeps the node open, as a
// device's would, until the last copy is closed.
TEST_F(Process, InheritedNodeStaysOpenAcrossExec)
{
    // In the i386 tree the shell is of the other class: cardsim serves it with
    // the x86-64 tree's interposer, and the shell starts the 32-bit client
    // where the kernel runs it, else through qemu-i386.
    if (!testsupport::serve_a_shell(OTHER_CLASS_PRELOAD))
        GTEST_SKIP() << "/bin/sh is of the other class, whose interposer (RAVELIN_OTHER_CLASS_PRELOAD: \""
                     << OTHER_CLASS_PRELOAD << "\") is not built: build that tree first";
    start({}, false);
    const std::string client_bin = testsupport::as_command(CLIENT_BIN);
    std::string script = "exec 3<>/dev/dvb/adapter0/frontend0; " + client_bin + " open 0:0; exec 3>&-; exec " +
                         client_bin + " open 0:0";
    auto r = testsupport::run({CARDSIM_BIN, "--state", dir, "--", "/bin/sh", "-c", script});
    EXPECT_EQ(r.out, "open EBUSY\nopen ok\n") << r.err;
    EXPECT_EQ(r.status, 0);

    // the program that the holder becomes holds it still
    script = "exec 3<>/dev/dvb/adapter0/frontend0; exec /bin/sh -c '" + client_bin + " open 0:0; " + client_bin +
             " openro 0:0'";
    r = testsupport::run({CARDSIM_BIN, "--state", dir, "--", "/bin/sh", "-c", script});
    EXPECT_EQ(r.out, "open EBUSY\nopenro ok\n") << r.err;
}
