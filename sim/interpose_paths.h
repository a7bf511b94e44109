// SPDX-License-Identifier: GPL-2.0-or-later
// Which opens belong to the card: every spelling of a path under /dev/dvb
// ("//dev/dvb/...", "/dev/./dvb/...", relative to the current folder or to a
// directory descriptor), and any DVB device node, wherever its name is.
#pragma once

namespace cardsim::paths {

enum class Kind {
    other,  // goes to the real system
    node,   // /dev/dvb/adapterA/frontendF
    dvb,    // anything else of DVB: never reaches the real system
};

Kind classify(int dirfd, const char* path, int flags, unsigned& adapter, unsigned& frontend);

}  // namespace cardsim::paths
