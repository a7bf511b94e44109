// SPDX-License-Identifier: GPL-2.0-or-later
// diff: what apply would write to the card, found by apply's own comparison,
// shown setting by setting as stored and as described; nothing is written.
// Its exit status is diff(1)'s and git diff --exit-code's: 0 the card
// matches, 1 apply would write.
#include "rack.h"

#include <algorithm>
#include <cstdio>

namespace ctl {

namespace {

using json = nlohmann::ordered_json;

// The settings named, as status --json shows them: what apply takes back.
json settings_json(const card_status& s, const std::vector<std::string>& names)
{
    const json all = status_json(s);
    json j = json::object();
    for (const auto& what : names) {
        j[what] = all[what];
        if (what == "program_name" && all.contains("program_name_hex"))
            j["program_name_hex"] = all["program_name_hex"];
    }
    return j;
}

}  // namespace

int run_diff(const request& r, card_session& s)
{
    const std::vector<std::string> names = settings_of(r.want);
    const std::vector<std::string> differ = s.differences(r.want);
    const card_status before = s.read_config(bool(r.want.output), bool(r.want.mute), bool(r.want.program_name));
    const card_status after = with_wanted(before, r.want);
    if (r.json) {
        json j{{"adapter", s.adapter()}, {"frontend", s.frontend()}};
        j["different"] = !differ.empty();
        j["would_write"] = differ;
        j["before"] = settings_json(before, names);
        j["after"] = settings_json(after, names);
        print_json(j);
    } else if (!r.quiet) {
        for (const auto& what : names) {
            const bool differs = std::find(differ.begin(), differ.end(), what) != differ.end();
            const std::string label = what == "program_name" ? "program name" : what;
            if (differs)
                std::printf("%s: %s -> %s\n", label.c_str(), setting_text(before, what).c_str(),
                            setting_text(after, what).c_str());
            else
                std::printf("%s: unchanged\n", label.c_str());
        }
    }
    return differ.empty() ? exit_done : exit_card;
}

}  // namespace ctl
