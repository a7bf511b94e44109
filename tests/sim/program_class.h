// SPDX-License-Identifier: GPL-2.0-or-later
// Programs of either class in shell commands and under other launchers
// (setpriv, sh -c): a 32-bit program goes through qemu-i386 where the kernel
// does not run it, as cardsim and testsupport::run do by themselves.
#pragma once

#include "run.h"

#include <string>
#include <vector>

using testsupport::as_command;

// Whether the kernel runs `program` itself.
inline bool runs_natively(const std::string& program) { return testsupport::kernel_runs(program); }

// `program` as the first words of an argument vector.
inline std::vector<std::string> as_argv(const std::string& program)
{
    if (runs_natively(program))
        return {program};
    return {"qemu-i386", program};
}
