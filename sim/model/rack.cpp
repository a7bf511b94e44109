// SPDX-License-Identifier: GPL-2.0-or-later
#include "rack.h"

#include "raw_sys.h"
#include "text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cardsim {

namespace {

constexpr char unplugged_mark[] = "unplugged";
// A rack file is a few lines; anything far larger is not one.
constexpr size_t rack_file_limit = 1 << 20;
// Far more than a machine has slots for.
constexpr size_t max_cards = 1024;

// The fields of a card: separated by commas or blanks.
std::vector<std::string> fields_of(const std::string& text)
{
    std::vector<std::string> fields;
    std::string field;
    for (char ch : text) {
        if (ch == ',' || ch == ' ' || ch == '\t') {
            if (!field.empty())
                fields.push_back(field);
            field.clear();
        } else {
            field += ch;
        }
    }
    if (!field.empty())
        fields.push_back(field);
    return fields;
}

const setting* card_setting(const std::string& key)
{
    for (unsigned i = 0; i < setting_count; ++i)
        if (setting_table[i].option && key == setting_table[i].option)
            return &setting_table[i];
    return nullptr;
}

std::string card_keys()
{
    std::string keys;
    for (unsigned i = 0; i < setting_count; ++i)
        if (setting_table[i].option && !setting_table[i].whole_run)
            keys += (keys.empty() ? "" : ", ") + std::string(setting_table[i].option);
    return keys;
}

// One setting of a card onto its settings; "" or what is wrong.
std::string apply_field(const std::string& field, sim_config& c)
{
    size_t eq = field.find('=');
    std::string key = field.substr(0, eq);
    const setting* s = card_setting(key);
    if (!s)
        return "'" + key + "' is not a setting of a card (a card takes " + card_keys() + ")";
    if (s->whole_run)
        return "'" + key + "' is the same for every card of a run: give it as --" + key;
    if (!s->value) {
        if (eq != std::string::npos)
            return "'" + key + "' takes no value";
        return s->parse_option(std::string(), true, c);
    }
    if (eq == std::string::npos || eq + 1 == field.size())
        return "'" + key + "' needs a value (" + key + "=" + s->value + ")";
    std::string value = field.substr(eq + 1);
    std::string err = s->parse_option ? s->parse_option(value, false, c) : s->parse(value, c);
    return err.empty() ? "" : key + ": " + err;
}

// A card's text onto `c` (its node into `node`), and its canonical text.
std::string read_card(const std::string& text, sim_config& c, std::pair<unsigned, unsigned>& node,
                      std::string& canonical)
{
    std::vector<std::string> fields = fields_of(text);
    if (fields.empty())
        return "a card is its node A:F and its settings, not nothing";
    std::string err = parse_node(fields[0], node);
    if (!err.empty())
        return err + ", which a card starts with";
    canonical = std::to_string(node.first) + ":" + std::to_string(node.second);
    for (size_t i = 1; i < fields.size(); ++i) {
        if (fields[i].find(';') != std::string::npos)
            return "'" + fields[i] + "' has a ';', which no setting of a card takes";
        if (!(err = apply_field(fields[i], c)).empty())
            return err;
        canonical += "," + fields[i];
    }
    return "";
}

std::pair<unsigned, unsigned> node_of(const std::string& canonical)
{
    std::pair<unsigned, unsigned> node{0, 0};
    parse_node(canonical.substr(0, canonical.find(',')), node);
    return node;
}

int sys_open(const std::string& path, int flags, mode_t mode = 0)
{
    return raw::sys_openat(AT_FDCWD, path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
}

using raw::sys_close;

}  // namespace

std::string add_card(const std::string& text, sim_config& c)
{
    sim_config scratch = c;
    std::pair<unsigned, unsigned> node;
    std::string canonical;
    std::string err = read_card(text, scratch, node, canonical);
    if (!err.empty())
        return err;
    for (const auto& card : c.cards)
        if (node_of(card) == node)
            return "node " + std::to_string(node.first) + ":" + std::to_string(node.second) +
                   " has a card already (" + card + ")";
    if (c.cards.size() == max_cards)
        return "more than " + std::to_string(max_cards) + " cards";
    c.cards.push_back(canonical);
    return "";
}

std::string parse_cards(const std::string& text, sim_config& c)
{
    sim_config out = c;
    out.cards.clear();
    for (const auto& card : split(text, ';')) {
        std::string err = add_card(card, out);
        if (!err.empty())
            return err;
    }
    c.cards = out.cards;
    return "";
}

std::string format_cards(const sim_config& c)
{
    std::string text;
    for (const auto& card : c.cards)
        text += (text.empty() ? "" : ";") + card;
    return text;
}

std::string parse_rack(const std::string& text, const std::string& name, sim_config& c)
{
    sim_config out = c;
    size_t before = out.cards.size();
    std::vector<std::string> lines = split(text, '\n');
    if (!text.empty() && text.back() == '\n')
        lines.pop_back();
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string line = lines[i].substr(0, lines[i].find('#'));
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (fields_of(line).empty())
            continue;
        std::string err = add_card(line, out);
        if (!err.empty())
            return name + ":" + std::to_string(i + 1) + ": " + err;
    }
    if (out.cards.size() == before)
        return name + ": no card in it (one card a line: A:F and its settings)";
    c.cards = out.cards;
    return "";
}

std::string add_rack_file(const std::string& path, sim_config& c)
{
    int fd = sys_open(path, O_RDONLY | O_NONBLOCK);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
        sys_close(fd);
        return "cannot read the rack file " + path + ": it is not a file";
    }
    std::string text;
    char buf[4096];
    ssize_t n = 0;
    while (fd >= 0 && text.size() <= rack_file_limit && (n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, size_t(n));
    int e = errno;
    if (fd >= 0)
        sys_close(fd);
    if (fd < 0 || n < 0)
        return "cannot read the rack file " + path + ": " +
               (e == ELOOP ? std::string("it is a symbolic link (give the file itself)") : strerror(e));
    if (text.size() > rack_file_limit)
        return "the rack file " + path + " is larger than 1 MiB, which no rack file is";
    return parse_rack(text, path, c);
}

std::pair<unsigned, unsigned> card_node(const sim_config& run, size_t i) { return node_of(run.cards.at(i)); }

std::string card_folder(unsigned adapter, unsigned frontend)
{
    return "adapter" + std::to_string(adapter) + "-frontend" + std::to_string(frontend);
}

sim_config card_config(const sim_config& run, size_t i)
{
    sim_config c = run;
    c.cards.clear();
    std::pair<unsigned, unsigned> node;
    std::string canonical;
    read_card(run.cards.at(i), c, node, canonical);  // checked when it was added
    c.nodes = {node};
    c.state = run.state + "/" + card_folder(node.first, node.second);
    // Each card draws its own open values, from the run's seed and its node
    // (the same for the card wherever its line is in the rack).
    if (c.seeded) {
        c.seed = run.seed ^ (uint64_t(node.first) * 1000 + node.second + 1) * 0x9e3779b97f4a7c15ull;
        c.draw_open_values();
    }
    return c;
}

std::string card_folder_problem(const std::string& dir)
{
    struct stat st;
    if (lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        return "unsafe state: " + dir + " is a symbolic link, which cardsim never follows; remove it";
    return "";
}

void mark_unplugged(const std::string& dir)
{
    int fd = sys_open(dir + "/" + unplugged_mark, O_WRONLY | O_CREAT | O_NONBLOCK, 0600);
    if (fd >= 0)
        sys_close(fd);
}

bool is_unplugged(const std::string& dir)
{
    struct stat st;
    return lstat((dir + "/" + unplugged_mark).c_str(), &st) == 0;
}

std::string plug_in(const std::string& dir)
{
    std::string path = dir + "/" + unplugged_mark;
    if (unlink(path.c_str()) != 0 && errno != ENOENT)
        return "cannot remove " + path + ": " + strerror(errno);
    return "";
}

}  // namespace cardsim
