// SPDX-License-Identifier: GPL-2.0-or-later
// ravelinctl's commands: one row each, with its help, the reading of its
// words and its run, and the record of what a run found, which is printed
// as text or as JSON from the one place each field is given.
#pragma once

#include "ravelinctl.h"

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace ctl {

// A run's result. Each field is given once: the keys it adds to the JSON
// object, and the line it shows as text (none for a field only JSON has).
class record {
public:
    enum shown { always, unless_quiet };

    record& add(nlohmann::ordered_json fields, std::string line = {}, shown when = always);
    // A line of text only.
    record& line(std::string text, shown when = always);
    // An element of the JSON array `key` (made by add), and its line.
    record& item(const std::string& key, nlohmann::ordered_json element, std::string line);
    // The card's place, {"adapter", "frontend"}, with its line when given.
    record& node(int adapter, int frontend, std::string line = {});

    // JSON: the object, whatever --quiet says. Text: each line shown.
    void print(bool json, bool quiet) const;

private:
    nlohmann::ordered_json json_ = nlohmann::ordered_json::object();
    std::vector<std::pair<std::string, shown>> lines_;
};

// A command's words (the command itself first), with the checks every command makes.
struct command_words {
    const std::vector<std::string>& words;

    const std::string& operator[](std::size_t i) const { return words[i]; }
    std::size_t size() const { return words.size(); }

    // Refused unless there are `count` words; usage follows "ravelinctl ".
    void expect(std::size_t count, const std::string& usage) const;
    // A word that looks like an option only counts for set advanced, and as
    // the text or file of name, apply, diff and flash.
    void no_options(std::size_t from) const;
    // --NAME VALUE or --NAME=VALUE at words[i] (not empty): true, and i past it.
    bool option(std::size_t& i, const std::string& name, std::string& value) const;
};

struct command_row {
    const char* name;
    // Its lines of the help's Commands section; none for help and version,
    // which are the tool's own and not listed among the commands.
    std::string (*help)();
    // Takes the words into the request; throws failure with exit_usage.
    void (*parse)(request& r, const command_words& words);
    // Does the command and records what it found; returns the exit status.
    int (*run)(const request& r, record& out);
};

// Every command, in the order the help lists them.
const std::vector<const command_row*>& command_table();

[[noreturn]] void refuse_usage(const std::string& message);

// What set, mute, name, apply and configure record: the settings written, and
// as text each setting considered, changed or unchanged.
void record_changes(record& out, int adapter, int frontend, const std::vector<std::string>& written,
                    const std::vector<std::string>& considered);

}  // namespace ctl
