// SPDX-License-Identifier: GPL-2.0-or-later
// Which opens belong to the card: every spelling of a path under /dev/dvb
// ("//dev/dvb/...", "/dev/./dvb/...", relative to the current folder or to a
// directory descriptor), and any DVB device node, wherever its name is.
#pragma once

#include <climits>

namespace cardsim::paths {

enum class path_kind {
    other,  // goes to the real system
    node,   // /dev/dvb/adapterA/frontendF
    folder, // /dev/dvb or /dev/dvb/adapterA: only a read-only folder open reaches the system
    dvb,    // anything else of DVB: never reaches the real system
};

path_kind classify(int dirfd, const char* path, int flags, unsigned& adapter, unsigned& frontend);

// The folder that `dirfd` names (the working folder for AT_FDCWD), for a
// relative path; false when it cannot be told.
bool folder_of(int dirfd, char (&base)[PATH_MAX]);

// Whether the path may be the card's, without allocating (for a signal
// handler, and when memory ran out): its text, or the folder it is relative
// to, names "dvb", or it is a DVB device under another name.
bool maybe_card(int dirfd, const char* path, int flags);

}  // namespace cardsim::paths
