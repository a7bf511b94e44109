// SPDX-License-Identifier: GPL-2.0-or-later
// A test of cardsim against fake_dev's decoy /dev, with /bin/sh as COMMAND:
// skipped, saying why, where no private /dev with device nodes can be made.
#pragma once

#include "sim_fixture.h"

#include "exec32.h"

class FakeDevTest : public SimTest {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root, to make device nodes of the DVB major in a private /dev";
        // In a chroot whose root is no mount point no private mount tree can be made.
        if (auto probe = testsupport::run({FAKE_DEV_BIN, "true"}); probe.status != 0)
            GTEST_SKIP() << "fake_dev cannot make a private /dev here: " << probe.err;
        unsetenv("CARDSIM_PRELOAD_32");
        unsetenv("CARDSIM_PRELOAD_64");
        // Where sh (and env) are of the other class, cardsim needs that class's interposer.
        if (cardsim::elf_bits("/bin/sh") != int(sizeof(void*) * 8)) {
            if (cardsim::elf_bits(OTHER_CLASS_PRELOAD) == 0)
                GTEST_SKIP() << "/bin/sh is of the other class, whose interposer (" << OTHER_CLASS_PRELOAD
                             << ") is not built";
            setenv(sizeof(void*) == 8 ? "CARDSIM_PRELOAD_32" : "CARDSIM_PRELOAD_64", OTHER_CLASS_PRELOAD, 1);
        }
        start({}, false);
    }
};
