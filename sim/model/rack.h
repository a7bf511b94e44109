// SPDX-License-Identifier: GPL-2.0-or-later
// A rack: several simulated cards in one run, each at its own node, with its
// own settings over the run's and its own state folder inside the run's.
// A card is written "A:F" and its settings, each an option of the card
// without its "--" ("mac=02:00:00:00:00:01", "signal=none", "deny"),
// separated by commas or blanks: on the command line (--card), in a rack file
// (--rack, one card a line) and, joined by ';', in CARDSIM_CARDS.
#pragma once

#include "config.h"

#include <string>
#include <utility>

namespace cardsim {

// Adds one card to c.cards in its canonical text; "" or what is wrong (a
// setting the card does not take, a malformed value, a node that has a card).
std::string add_card(const std::string& text, sim_config& c);
// CARDSIM_CARDS: the cards' canonical texts, ';' between them.
std::string parse_cards(const std::string& text, sim_config& c);
std::string format_cards(const sim_config& c);
// A rack file's text, one card a line, '#' to the line's end a comment; ""
// or "NAME:LINE: what is wrong". `c` is left as it was when the text is refused.
std::string parse_rack(const std::string& text, const std::string& name, sim_config& c);
// Reads the file at `path` and parses it as above.
std::string add_rack_file(const std::string& path, sim_config& c);

// The node of card `i` of the rack.
std::pair<unsigned, unsigned> card_node(const sim_config& run, size_t i);
// The settings of card `i`: the run's, the card's own over them, its node
// alone, and its state folder inside the run's.
sim_config card_config(const sim_config& run, size_t i);
// The card's state folder inside the run's: "adapterA-frontendF".
std::string card_folder(unsigned adapter, unsigned frontend);

// A card's state folder is one that cardsim makes: "" or why it is refused
// (a symbolic link, which cardsim never follows).
std::string card_folder_problem(const std::string& dir);

// The card in `dir` was unplugged in this run: a mark in its state folder,
// which every program of the run sees at its next open of the node, and
// which cardsim removes when a run starts (the card plugged in again).
void mark_unplugged(const std::string& dir);
bool is_unplugged(const std::string& dir);
// "" or why the mark could not be removed.
std::string plug_in(const std::string& dir);

}  // namespace cardsim
