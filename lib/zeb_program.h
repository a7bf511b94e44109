// SPDX-License-Identifier: GPL-2.0-or-later
// The library's message texts and what differs between the two programs that
// share it: every text and behaviour flag of one program in its table, the
// texts both print alike in one more.
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>

namespace zeb_detail {

// Called only where a text's conversions do not fit its arguments, so that
// the table holding it does not compile.
void text_does_not_fit_its_arguments();

template <class T>
constexpr bool converts(const char*& f)
{
    bool size = false;
    if (*f == 'z') {
        size = true;
        ++f;
    }
    const char c = *f;
    if (size)
        return (c == 'u' || c == 'x' || c == 'X') && std::is_same_v<T, std::size_t>;
    if (c == 'd' || c == 'i' || c == 'c')
        return std::is_same_v<T, int>;
    if (c == 'u' || c == 'x' || c == 'X' || c == 'o')
        return std::is_same_v<T, unsigned int>;
    if (c == 's')
        return std::is_same_v<T, const char*>;
    return false;
}

// The next conversion of a printf format, at f or after it; nullptr when
// there is none left.
constexpr const char* next_conversion(const char* f)
{
    for (; *f; ++f) {
        if (*f != '%')
            continue;
        if (f[1] == '%') {
            ++f;
            continue;
        }
        ++f;
        while (*f == '-' || *f == '+' || *f == ' ' || *f == '#' || (*f >= '0' && *f <= '9'))
            ++f;
        return f;
    }
    return nullptr;
}

// Whether the format's conversions are, in order, those of Args.
template <class... Args>
constexpr bool fits(const char* format)
{
    const char* f = format;
    bool ok = true;
    ((ok = ok && (f = next_conversion(f)) && converts<Args>(f) && (++f, true)), ...);
    return ok && !next_conversion(f);
}

}  // namespace zeb_detail

// How a text goes out. line: the command-line tool ends it with a newline
// (puts); exact: its bytes go out as they stand. The window program's logger
// ends every message itself.
struct zeb_spec {
    const char* text;
    bool line;
};
// This program prints nothing here.
struct zeb_no_text {};

// The words the tables are written in.
namespace zeb_table {
constexpr zeb_spec line(const char* text) { return {text, true}; }
constexpr zeb_spec exact(const char* text) { return {text, false}; }
inline constexpr zeb_no_text none{};
}  // namespace zeb_table

// A message whose printf conversions take Args, checked where a table sets
// it; zeb_say converts its callers' arguments to Args.
template <class... Args>
struct zeb_text {
    const char* text;
    bool line;

    consteval zeb_text(zeb_spec s) : text(s.text), line(s.line)
    {
        if (!zeb_detail::fits<Args...>(text))
            zeb_detail::text_does_not_fit_its_arguments();
    }
    consteval zeb_text(zeb_no_text) : text(nullptr), line(false) {}
};

// A flag or number of a table; it has no default, so a table names every one.
template <class T>
struct zeb_setting {
    T value;
    consteval zeb_setting(T v) : value(v) {}
    constexpr operator T() const { return value; }
};

// Preset names 1 (super) to 7 (mobile).
using zeb_preset_names = std::array<zeb_text<>, 7>;

struct zeb_program {
    zeb_setting<const char*> name;

    // Register access
    zeb_text<> read_error;

    // Mailbox and parameter EEPROM
    zeb_setting<int> mailbox_polls;  // per phase, 1 ms apart
    zeb_text<> write_num_zero;
    zeb_text<> write_num_over;
    zeb_text<> receiver_busy;
    zeb_text<> mcu_busy;
    zeb_text<> completion_timeout;

    // Capture format
    zeb_setting<bool> round_vfreq;
    zeb_text<> preset_help;                     // a preset outside 1 to 7
    zeb_setting<const zeb_preset_names*> presets;
    zeb_text<> format_setting;
    zeb_text<> format_set_ok;

    // Encoder settings and read-back
    zeb_text<> latest_manual;
    zeb_text<> latest_manual_other;  // any preset above 7
    zeb_setting<const zeb_preset_names*> latest_presets;
    zeb_text<int, int, int> latest_advanced;  // width, height, frame rate
    zeb_setting<bool> mute_restarts_capture;

    // Reset and output-mode procedures
    zeb_setting<bool> reset_reads_status_first;
    zeb_setting<bool> mode_bytes_before_format;
    // profile, level, width, height, bit rate, frame rate
    zeb_text<int, int, int, int, int, int> advanced_mode;

    // SPI flash
    zeb_text<unsigned, unsigned, unsigned, unsigned> spi_check_error;  // controller state bytes 0 to 3
    zeb_text<> spi_write_enable_error;
    zeb_text<> spi_write_disable_error;
    zeb_text<> spi_release_error;
    zeb_text<> spi_read_error;
    zeb_text<unsigned, unsigned> spi_read1page_word;  // address, word
    zeb_text<> spi_write_error;
    zeb_text<> spi_poll_error;
    zeb_text<unsigned> spi_write32_busy;  // status
    zeb_text<unsigned> spi_write1page_busy;  // status
    zeb_text<> spi_deep_power_down_error;
};

// The texts both programs print alike, letter for letter.
struct zeb_common_texts {
    // Mailbox and parameter EEPROM
    zeb_text<> read_num_zero;
    zeb_text<> read_num_over;
    zeb_text<> write_failed;

    // Capture format, encoder settings and read-back
    zeb_text<int, int, int, int> input_format;  // VRow, VColumn, VFreq, VScan
    zeb_text<> latest_auto;
    zeb_text<std::size_t, int> name_too_long;  // length, limit

    // Reset and output-mode procedures
    zeb_text<> soft_reset_wait;
    zeb_text<> soft_reset_ok;
    zeb_text<> mcu_reset_wait;
    zeb_text<> mcu_reset_ok;
    zeb_text<> auto_mode;
    zeb_text<> manual_mode;

    // SPI flash
    zeb_text<> spi_read_id_error;
    zeb_text<unsigned> spi_version;
    zeb_text<unsigned> spi_status;
};

extern const zeb_common_texts zeb_common;

extern const zeb_program zeb_program_ravelin;
extern const zeb_program zeb_program_ravelins;

// Where the library's messages go: the program decides (standard output,
// Qt's logger, a test's capture). A null sink drops them.
using zeb_sink = void (*)(const char* text, bool line);

// The program whose texts and behaviour the library follows in this process,
// and its sink. Until a program has chosen, the library keeps the
// command-line tool's waits and prints nothing.
void zeb_select_program(const zeb_program& program, zeb_sink sink);
const zeb_program& zeb_current_program();

namespace zeb_detail {
void emit(bool line, const char* format, ...);
}

// Formats a message of the current program's table and hands it to the sink.
template <class... Args>
void zeb_say(const zeb_text<Args...>& message, std::type_identity_t<Args>... args)
{
    if (message.text)
        zeb_detail::emit(message.line, message.text, args...);
}
