// SPDX-License-Identifier: GPL-2.0-or-later
// Whether the kernel runs a program itself: a 32-bit one on a kernel without
// 32-bit support (or with CARDSIM_FORCE_QEMU) goes through qemu-i386, which
// programs such as timeout and setpriv do not know to use.
#pragma once

#include "run.h"

using testsupport::kernel_runs;
