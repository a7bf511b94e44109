// SPDX-License-Identifier: GPL-2.0-or-later
// The accesses the card did not know ("register 0x50 write"): the file
// "unknown" in the state folder, one line each, for cardsim --show.
#pragma once

#include "state_lock.h"

#include <string>
#include <vector>

namespace cardsim {

class unknown_notes {
public:
    unknown_notes(state_folder& folder, card_lock& lock) : folder_(folder), lock_(lock) {}

    // Records, once per process, an access the card does not know; "" or
    // why it could not be written.
    std::string note(const std::string& what);
    // The recorded unknown accesses, each once, in the order first seen.
    std::string load(std::vector<std::string>& out);

private:
    state_folder& folder_;
    card_lock& lock_;
    std::vector<std::string> noted_;
};

}  // namespace cardsim
