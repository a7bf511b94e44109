// SPDX-License-Identifier: GPL-2.0-or-later
// ravelinctl: check everything the run asks, do the one command, print what
// it found, and end with the status that says what happened.
#include "commands.h"

#include "zeb_program.h"

#include <cstring>

using namespace ctl;

namespace {

// Whether --json stands among the options, for a refusal of the rest.
bool asks_json(int argc, char** argv)
{
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "--json") == 0)
            return true;
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    // The command-line tool's waits; the library's own texts go nowhere, the
    // tool says what happened itself.
    zeb_select_program(zeb_program_ravelins, nullptr);
    request r;
    r.json = asks_json(argc, argv);
    try {
        r = parse_command_line(argc, argv);
        record out;
        const int status = r.what->run(r, out);
        out.print(r.json, r.quiet);
        return status;
    } catch (const failure& f) {
        print_failure(r, f);
        return f.status;
    } catch (const std::exception& e) {
        // Not one of the tool's own ends: say so rather than end without a word.
        print_failure(r, failure(exit_card, "running the command", e.what()));
        return exit_card;
    }
}
