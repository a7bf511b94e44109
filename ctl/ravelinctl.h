// SPDX-License-Identifier: GPL-2.0-or-later
// ravelinctl: the card for scripts. What a run is asked, what the card
// stores, and how a run ends when it cannot do what it was asked.
#pragma once

#include "zebecp3-spi.h"

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace ctl {

// The step of every refusal of the command line.
inline const std::string parsing_step = "parsing the command line";

// The exit statuses.
enum exit_status { exit_done = 0, exit_card = 1, exit_usage = 2, exit_node = 3 };

// Ends the run: the step that was under way, what went wrong, the exit status.
struct failure : std::runtime_error {
    failure(int status, std::string step, const std::string& message)
        : std::runtime_error(message), status(status), step(std::move(step))
    {
    }
    int status;
    std::string step;
    // The settings whose writing had begun when the run failed: the card may
    // store them, in whole or in part.
    std::vector<std::string> written;
};

using mac_address = std::array<unsigned char, 6>;

// ---- What the card stores

enum class output_mode { automatic, preset, advanced, none };

struct advanced_settings {
    bool main_profile = false;  // else high
    int level = 0;
    int width = 0;
    int height = 0;
    int bitrate = 0;  // kbit/s
    int frame_rate = 0;
};

struct output_config {
    output_mode mode = output_mode::none;
    int preset = 0;             // preset: 1-7
    advanced_settings advanced; // advanced
    bool consistent = true;     // advanced: the entries are what these settings store
    int invalid_preset = 0;     // none: a stored preset outside 1-7, else 0
};

struct input_format {
    int width = 0;
    int height = 0;
    int rate = 0;
    bool progressive = false;
    // The card reports no size without a signal: a width or a height of 0.
    bool signal() const { return width != 0 && height != 0; }
};

struct card_status {
    mac_address mac{};
    input_format input;
    output_config output;
    bool mute = false;
    std::string program_name;  // the stored bytes
};

// What a changing command asks for: only the settings given.
struct wanted_config {
    std::optional<output_config> output;
    std::optional<bool> mute;
    std::optional<std::string> program_name;  // bytes
};

// ---- The command line

struct command_row;

struct request {
    int adapter = 0;
    int frontend = 0;
    bool adapter_given = false;
    bool frontend_given = false;
    std::optional<mac_address> mac;
    bool json = false;
    bool quiet = false;
    bool force = false;

    const command_row* what = nullptr;
    wanted_config want;       // set, mute, name, apply, diff
    bool reset_mcu = false;   // reset: mcu, else capture
    std::string file;         // apply, diff, flash read, flash verify (flash id: none), metrics --output
    std::string config_dir;   // metrics, configure
    std::vector<unsigned char> verify_image;  // flash verify: the file's bytes
    std::string help_topic;   // help: the command asked about, or "" for all
    int wait_seconds = 0;     // --wait: how long a busy node is tried again; 0 not at all
    bool wait_given = false;
};

// Reads the whole command line, and for apply and flash verify the file;
// throws failure with exit_usage for anything that is not right. Touches no card.
request parse_command_line(int argc, char** argv);

// The preset names, 1 to 7, from the tool's own table of presets.
const std::vector<std::string>& preset_names();

// Strict decimal: digits only, no sign or leading zero, within [min, max].
// what names the value in the message.
int parse_number(const std::string& text, int min, int max, const std::string& what);
std::optional<mac_address> parse_mac(const std::string& text);
std::string mac_text(const mac_address& mac);

// The description that status --json prints, as apply takes it; throws
// failure with exit_usage, naming the key.
wanted_config parse_description(const nlohmann::json& j, const std::string& source);
// A description is a few hundred bytes; anything much bigger is not one.
constexpr std::size_t description_max = 64 * 1024;
// The description in text, from source (a file name, for messages): JSON
// with each key once in its object, as parse_description takes it.
wanted_config description_of(const std::string& text, const std::string& source);
// The description in `file` (- standard input), read and checked whole.
wanted_config read_description(const std::string& file);
// A file as messages name it: "-" is standard input.
std::string source_of(const std::string& file);
// The whole file (- standard input), or refused when it holds more than limit bytes.
std::string read_all(const std::string& file, std::size_t limit);
// A program name as the card can store it; throws failure with exit_usage.
std::string check_name(const std::string& name, const std::string& step);
// "auto", "preset", "advanced": the words and ranges the tool takes.
output_config parse_advanced(const std::vector<std::string>& words);
// The lines of the help that give set advanced's words and their ranges.
std::string advanced_usage();
int preset_of(const std::string& word);
std::string levels_text();

// ---- The card

// The progress line for the long waits, where the run shows one.
struct progress_line {
    bool enabled = false;
    bool shown = false;
};
// Whether the run shows one: standard error is a terminal, and neither --quiet nor --json.
bool shows_progress(const request& r);

// One open frontend node of this card, driven through the card access
// library; each step's failures end the run with the step's name.
class card_session {
public:
    // progress: a line on standard error while the card is waited for.
    card_session(int adapter, int frontend, bool progress);
    // The node the run names, -a and -n or the card of --mac; a progress
    // line where standard error is a terminal, unless --quiet or --json;
    // a busy node tried again as --wait says.
    explicit card_session(const request& r);
    card_session(const request& r, std::pair<int, int> node);
    ~card_session();
    card_session(const card_session&) = delete;
    card_session& operator=(const card_session&) = delete;

    int adapter() const { return adapter_; }
    int frontend() const { return frontend_; }
    const std::string& path() const { return path_; }

    // Opens the node read-write (failure: exit_node; a busy node tried again
    // for the run's --wait) and checks with a register read that its driver
    // is this card's (else exit_node).
    void open_and_identify();

    // Starts a step: failures from here on are this step's.
    void step(const std::string& name);
    // Ends the run with the step's first failure, if there was one.
    void check();

    // EEPROM bytes [addr, addr + count), in transfers of at most 8 bytes.
    std::vector<unsigned char> read_eeprom(unsigned int addr, unsigned int count);

    // Everything status shows, each EEPROM byte read once.
    card_status read_status();
    // The stored output configuration, mute and name only.
    card_status read_config(bool output, bool mute, bool name);

    // Writes what differs from the card (everything with force), reads each
    // written setting back; returns the names written.
    std::vector<std::string> apply(const wanted_config& want, bool force);
    // The names of the settings apply would write, found as apply finds them;
    // writes nothing.
    std::vector<std::string> differences(const wanted_config& want);

    int reset(bool mcu);  // busy rounds

    zebecp3 card{};

private:
    int adapter_;
    int frontend_;
    std::string path_;
    int fd_ = -1;
    std::string step_;
    progress_line progress_;
    int wait_seconds_ = 0;
};

// What an open of a node says about it: empty when it can be used.
struct node_problem {
    int status = exit_done;
    std::string error;
    std::string fix;
};
node_problem open_problem(const std::string& path, int error);
// Whether a request's error says the node's driver is not this card's.
bool refuses_card_requests(int error);

// ---- Nodes

enum class node_kind { card, other, unusable };

struct node_info {
    int adapter;
    int frontend;
    std::string path;
    node_kind kind;
    mac_address mac{};
    std::string error;
    std::string fix;
};

// Every frontend node, each identified with read requests only; a node that
// answers as this card is then asked for its MAC address.
// Without ask_mac, the cards are listed without their MAC address.
// A busy node is tried again for up to wait_seconds before its MAC address is asked.
std::vector<node_info> list_nodes(bool ask_mac = true, int wait_seconds = 0, progress_line* progress = nullptr);
// The node of -a and -n, or of --mac: the first card that gives that MAC,
// on frontend -n if given (exit_node when there is none).
std::pair<int, int> node_of(const request& r);

// ---- A busy node (wait.cpp)

// --wait without a value, and the most it takes, in seconds.
constexpr int wait_default_seconds = 60;
constexpr int wait_max_seconds = 86400;
// open(path, flags); while it fails with EBUSY, tried again after a pause of
// a quarter second until wait_seconds have been paused, with a progress line
// where the run shows one. The descriptor, or -1 with errno.
int open_waiting(const std::string& path, int flags, int wait_seconds, progress_line& progress);
// The processes other than this one that have path open, "process PID (COMM)"
// each: those that opened it for writing where /proc tells; none where /proc
// shows nothing. self_holds: whether this process has it open too.
std::vector<std::string> node_holders(const std::string& path, bool* self_holds = nullptr);
// What to do about a busy node: end its holders, named where found.
std::string busy_fix(const std::string& path);

// ---- Output

void print_failure(const request& r, const failure& f);
// The card's settings as status --json shows them, and the output as text.
nlohmann::ordered_json status_json(const card_status& s);
std::string output_text(const output_config& o);
std::string hex_of(const std::string& bytes);
void print_json(const nlohmann::ordered_json& j);

// A file written whole or not at all: a temporary beside it, renamed into
// place by commit. Made before the card is touched, so that a folder it
// cannot be made in is refused first.
class output_file {
public:
    explicit output_file(const std::string& path, mode_t mode = 0600);
    ~output_file();
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    void commit(const std::vector<unsigned char>& bytes);

private:
    std::string path_;
    std::string temp_;
    int fd_ = -1;
};

// Bytes as text: UTF-8 as it stands; otherwise, for a program name, each
// byte as the Latin-1 character (what the window stores), and, in messages and
// file names, each byte from 0x80 up as \xNN.
bool valid_utf8(const std::string& s);
std::string shown_name(const std::string& bytes);
std::string shown_text(const std::string& bytes);

}  // namespace ctl
