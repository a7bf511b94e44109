// SPDX-License-Identifier: GPL-2.0-or-later
// Which of the process's descriptors are simulated nodes. Lock-free, so that
// any path may ask or forget without taking the card's mutex.
#pragma once

#include <string>

namespace cardsim::fds {

constexpr int max_fd = 65536;

bool is_node(int fd);
// `card`: which card of a rack the node belongs to (0 for a run of one card).
void mark_node(int fd, unsigned card = 0);
unsigned card_of(int fd);
// The descriptor is no node any more; true when it was one.
bool forget(int fd);
// For a descriptor that a real open returned: libc may have closed a node
// behind the interposer's back (fclose of an fdopen), and the number came back.
int forget_stale(int fd);

// Whether `target`, a descriptor's link text, is a node's lock file in the
// folder `folder_real` (a path without links, as realpath gives it); the node then.
bool lock_file_node(const char* target, const std::string& folder_real, unsigned& adapter, unsigned& frontend);

// Node descriptors this program inherited across exec (their lock files, open
// under the card's state folder) are nodes of that card here too.
void adopt_inherited(const std::string& state_dir, unsigned card = 0);

}  // namespace cardsim::fds
