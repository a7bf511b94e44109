// SPDX-License-Identifier: GPL-2.0-or-later
// diff: what apply would write to the card, found by apply's own comparison,
// shown setting by setting as stored and as described; nothing is written.
// Its exit status is diff(1)'s and git diff --exit-code's: 0 the card
// matches, 1 apply would write.
#include "commands.h"
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

void parse_diff(request& r, const command_words& w)
{
    w.expect(2, "diff FILE|-");
    if (r.force)
        refuse_usage("diff writes nothing: --force does not apply");
    r.file = w[1];
    r.want = read_description(r.file);
}

int run_diff(const request& r, record& out)
{
    card_session s(r);
    s.open_and_identify();
    const std::vector<std::string> names = settings_of(r.want);
    const std::vector<std::string> differ = s.differences(r.want);
    const card_status before = s.read_config(bool(r.want.output), bool(r.want.mute), bool(r.want.program_name));
    const card_status after = with_wanted(before, r.want);
    out.node(s.adapter(), s.frontend());
    out.add({{"different", !differ.empty()},
             {"would_write", differ},
             {"before", settings_json(before, names)},
             {"after", settings_json(after, names)}});
    for (const auto& what : names) {
        const std::string label = what == "program_name" ? "program name" : what;
        if (std::find(differ.begin(), differ.end(), what) != differ.end())
            out.line(label + ": " + setting_text(before, what) + " -> " + setting_text(after, what),
                     record::unless_quiet);
        else
            out.line(label + ": unchanged", record::unless_quiet);
    }
    return differ.empty() ? exit_done : exit_card;
}

}  // namespace

extern const command_row diff_command = {
    "diff",
    [] {
        return std::string("  diff FILE|-             what apply FILE would write, setting by setting, as\n"
                           "                          stored -> as described; writes nothing (exit 0 the\n"
                           "                          card matches, 1 apply would write)\n");
    },
    parse_diff, run_diff};

}  // namespace ctl
