// SPDX-License-Identifier: GPL-2.0-or-later
// ravelinctl for a machine's cards as a whole: the configuration an admin
// keeps for them in one folder, the collector of metrics, and the trail of
// every change in the system log.
#pragma once

#include "ravelinctl.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ctl {

// ---- The configuration folder (/etc/ravelin): one description per card,
// named by its MAC (00-1a-2b-3c-4d-5e.json) or by its place
// (adapter0-frontend0.json), in the format apply takes.

constexpr const char* default_config_dir = "/etc/ravelin";

struct card_config {
    std::string file;  // the path, for messages and labels
    wanted_config want;
};

struct config_folder {
    std::string dir;
    std::map<mac_address, card_config> by_mac;
    std::map<std::pair<int, int>, card_config> by_place;

    // The description for this card: its MAC's before its place's; null for none.
    const card_config* find(const mac_address& mac, int adapter, int frontend) const;
    // Whether some description could be this node's before its MAC is known.
    bool may_name(int adapter, int frontend) const
    {
        return !by_mac.empty() || by_place.count({adapter, frontend});
    }
};

// Reads every description of the folder; throws failure with exit_usage,
// naming the file, for a name that is no card, a description apply would
// refuse, or two files for the same card. A folder that does not exist
// holds no description.
config_folder read_config_folder(const std::string& dir);

// The card's settings after `want` is applied to `s`.
card_status with_wanted(card_status s, const wanted_config& want);
// The settings `want` names, in apply's order.
std::vector<std::string> settings_of(const wanted_config& w);

// ---- The trail: each change goes to the system log (syslog(3)), with the
// card, what it stored before and after, the result, and who asked.

// The card's MAC address, read from its EEPROM.
mac_address read_mac(card_session& s);

// A setting of s as status --json shows it, on one line; the program name
// as its bytes, so that a change of encoding alone is seen.
std::string setting_text(const card_status& s, const std::string& what);

// card_session::apply, logged: reads what the card stores first, then logs
// each setting written, or, when the run fails, each whose writing had
// begun (each asked for, when it failed before writing).
// mac: the card's when the run has read it; source: where want came from.
std::vector<std::string> apply_logged(card_session& s, const wanted_config& want, bool force,
                                      std::optional<mac_address> mac, const std::string& source);

// card_session::reset, logged when done or failed.
int reset_logged(card_session& s, bool mcu);

// Who asked: the user, and the user behind sudo.
std::string requester();

}  // namespace ctl
