// SPDX-License-Identifier: GPL-2.0-or-later
// The private /dev that COMMAND and all its children run in: a copy of the
// system's /dev without the DVB devices, whose /dev/dvb lists only the
// simulated nodes, in a mount namespace of their own.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace cardsim {

using node_list = std::vector<std::pair<unsigned, unsigned>>;

struct isolation_result {
    bool done = false;
    bool fatal = false;  // the private /dev stands, but the process cannot go on in it
    std::string why;     // what failed, when not done
    std::string root_free;  // when root's COMMAND keeps the machine's capabilities: why
};

// Moves this process into a new mount namespace (and a user namespace that
// maps only the caller's ids, unless it is root) whose /dev is a read-only
// tmpfs: every entry of the system's /dev bound into it, except /dev/dvb, the
// DVB links in /dev/char and any other DVB device; /dev/dvb holds one empty
// file /dev/dvb/adapterA/frontendF per simulated node, which the interposer
// serves. When it cannot be made, the process goes on as before (possibly in
// namespaces of its own that change nothing it sees). The current folder and
// inherited folder descriptors are opened again inside; root ends in a user
// namespace of its own that maps every id to itself.
isolation_result isolate(const node_list& nodes);

// True when real DVB devices are in sight: an entry in /dev/dvb, or a DVB
// device in /dev/char or /dev.
bool real_dvb_nodes_exist();

// The first descriptor of this process that is a DVB device, or -1.
int inherited_dvb_descriptor();

}  // namespace cardsim
