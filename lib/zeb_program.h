// What differs between the two programs that share the card access library:
// every message text and every behaviour flag, one table per program.
#pragma once

// A message. text nullptr: this program prints nothing here. line: the
// command-line tool ends it with a newline (puts); otherwise its bytes go out
// exactly as they stand. The window program's logger ends every message itself.
struct zeb_text {
    const char* text;
    bool line;
};

struct zeb_program {
    const char* name;

    // Register access
    zeb_text read_error;

    // Mailbox and parameter EEPROM
    int mailbox_polls;
    zeb_text read_num_zero;
    zeb_text read_num_over;
    zeb_text write_num_zero;
    zeb_text write_num_over;
    zeb_text write_failed;
    zeb_text receiver_busy;
    zeb_text mcu_busy;
    zeb_text completion_timeout;

    // Capture format
    bool round_vfreq;
    zeb_text input_format;        // %d VRow, VColumn, VFreq, VScan
    zeb_text preset[8];           // [0]: help text for a preset outside 1 to 7
    zeb_text format_setting;
    zeb_text format_set_ok;

    // Encoder settings and read-back
    zeb_text latest_auto;
    zeb_text latest_manual;
    zeb_text latest_manual_preset[8];  // [0]: any preset above 7
    zeb_text latest_advanced;          // %d width, height, frame rate
    bool mute_restarts_capture;
    zeb_text name_too_long;            // %zu length, %d limit

    // Reset and output-mode procedures
    bool reset_reads_status_first;
    bool mode_bytes_before_format;
    zeb_text soft_reset_wait;
    zeb_text soft_reset_ok;
    zeb_text mcu_reset_wait;
    zeb_text mcu_reset_ok;
    zeb_text auto_mode;
    zeb_text manual_mode;
    zeb_text advanced_mode;  // %d profile, level, width, height, bit rate, frame rate

    // SPI flash
    zeb_text spi_check_error;  // %x bytes 0 to 3 of the controller state
    zeb_text spi_write_enable_error;
    zeb_text spi_write_disable_error;
    zeb_text spi_release_error;
    zeb_text spi_read_id_error;
    zeb_text spi_version;        // %x
    zeb_text spi_status;         // %x
    zeb_text spi_read_error;
    zeb_text spi_read1page_word; // %x address, %x word
    zeb_text spi_write_error;
    zeb_text spi_poll_error;
    zeb_text spi_write32_busy;   // %x status
    zeb_text spi_write1page_busy;  // %x status
    zeb_text spi_deep_power_down_error;
};

extern const zeb_program zeb_program_ravelin;
extern const zeb_program zeb_program_ravelins;

// The program whose texts and behaviour the library follows in this process.
void zeb_select_program(const zeb_program& program);
const zeb_program& zeb_current_program();

// Where the library's messages go; standard output (zeb_stdout_sink) unless a
// program installs another. A null sink drops them.
using zeb_sink = void (*)(const char* text, bool line);
void zeb_set_sink(zeb_sink sink);

// Writes the text exactly, or with puts when it stands as a line.
void zeb_stdout_sink(const char* text, bool line);

// Formats a message of the current program's table and hands it to the sink.
// The tables' formats are checked against their arguments at compile time.
void zeb_say(zeb_text message, ...);

// Formats a message and hands it to the sink.
void zeb_report(bool line, const char* format, ...) __attribute__((format(printf, 2, 3)));
