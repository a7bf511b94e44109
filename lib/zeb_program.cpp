// SPDX-License-Identifier: GPL-2.0-or-later
#include "zeb_program.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

using namespace zeb_table;

namespace {

// The i386 build of the command-line tool polls the mailbox a tenth as long
// and spells its busy message differently.
#ifdef __i386__
constexpr int ravelins_mailbox_polls = 100;
constexpr const char* ravelins_mcu_busy = "MCU status is busy!!!";
#else
constexpr int ravelins_mailbox_polls = 1000;
constexpr const char* ravelins_mcu_busy = "MC U status is busy!!!";
#endif

#define SPI_WRITE_BUSY "write 16 bit-------------------------------------------------------- register: %x"


constexpr zeb_preset_names ravelin_presets = {
    line("super 1920*1080 "), line("ultra 1440*1080 "), line("excellent 1280*720 "),
    line("good 1120*640 "),   line("fair 960*540 "),    line("poor 800*480 "),
    line("mobile 480*272 "),
};

constexpr zeb_preset_names ravelin_latest_presets = {
    line("super 1920*1080"), line("ultra 1440*1080 "), line("excellent 1280*720"),
    line("good 1120*640"),   line("fair 960*540"),     line("poor 800*480"),
    line("mobile 480*272"),
};

// The tool prints the same names when it sets a preset and when it reads one back.
constexpr zeb_preset_names ravelins_presets = {
    line("super 1920*1080 "), line("ultra 1440*1080 "), line("excellent 1280*720 "),
    line("good 1120*720 "),   line("fair 960*540 "),    line("poor 800*480 "),
    line("mobile 480*272 "),
};

}  // namespace

constexpr zeb_common_texts zeb_common = {
    .read_num_zero = exact(" read 24cxx parameter error! [num == 0]\n\r"),
    .read_num_over = exact(" read 24cxx parameter error! [num >8]\n\r"),
    .write_failed = exact(" write 24cxx parameter error!!! \n\r"),
    .input_format = line("input format:\nVRow= %d, VColumn= %d, VFreq= %d, VScan= %d"),
    .latest_auto = line("the latest setting is Auto mode!"),
    .name_too_long = line("program name too long: %zu bytes (at most %d); the stored name is unchanged"),
    .soft_reset_wait = line("software Reset, please wait several seconds..."),
    .soft_reset_ok = line("software Reset OK!"),
    .mcu_reset_wait = line("MCU Reset, please wait several seconds..."),
    .mcu_reset_ok = line("MCU Reset OK!"),
    .auto_mode = line("set output format to auto mode(the same with input format)"),
    .manual_mode = line("set output format to manual mode:"),
    .spi_read_id_error = line(" spi read ID error!"),
    .spi_version = exact("version:0x%x\n"),
    .spi_status = exact("read status register: %x\n"),
};

// ravelin: every text is one debug log call; line and exact are not looked at.
constexpr zeb_program zeb_program_ravelin = {
    .name = "ravelin",
    .read_error = line("read eror "),

    .mailbox_polls = 1000,
    .write_num_zero = line(" write 24cxx parameter error! [num == 0]"),
    .write_num_over = line(" write 24cxx parameter error! [num >8]"),
    .receiver_busy = line(" the receiver always busy !"),
    .mcu_busy = line("MC U status is busy!!!"),
    .completion_timeout = line(" wait wt_24cxx_done timeout! "),

    .round_vfreq = true,
    .preset_help = line(" manual (1--7,1:super 1920*1080,2:ultra 1440*1080,3:excellent 1280*720,"
                        "4:good 1120*640,5:fair 960*540,6:poor 800*480,7: mobile 480*272)"),
    .presets = &ravelin_presets,
    .format_setting = none,
    .format_set_ok = none,

    .latest_manual = line("the latest setting is Manual mode:"),
    .latest_manual_other = line("no"),
    .latest_presets = &ravelin_latest_presets,
    .latest_advanced = line("the latest setting is Advanced mode: %d * %d %d "),
    .mute_restarts_capture = true,

    .reset_reads_status_first = true,
    .mode_bytes_before_format = true,
    .advanced_mode = line("set output format to advanced: %d,%d,%d,%d,%d,%d"),

    .spi_check_error = none,
    .spi_write_enable_error = none,
    .spi_write_disable_error = none,
    .spi_release_error = none,
    .spi_read_error = none,
    .spi_read1page_word = none,
    .spi_write_error = none,
    .spi_poll_error = none,
    .spi_write32_busy = line(SPI_WRITE_BUSY),
    .spi_write1page_busy = none,
    .spi_deep_power_down_error = none,
};

// ravelins: standard output, each text as a line or exactly as it stands.
constexpr zeb_program zeb_program_ravelins = {
    .name = "ravelins",
    .read_error = none,

    .mailbox_polls = ravelins_mailbox_polls,
    .write_num_zero = exact(" write 24cxx parameter error! [num == 0]\n\r"),
    .write_num_over = exact(" write 24cxx parameter error! [num >8]\n\r"),
    .receiver_busy = exact(" the receiver always busy !\n\r"),
    .mcu_busy = line(ravelins_mcu_busy),
    .completion_timeout = exact(" wait wt_24cxx_done timeout! \n\r"),

    .round_vfreq = false,
    .preset_help = line("-M : manual (1--7,1:super 1920*1080,2:ultra 1440*1080,3:excellent 1280*720,"
                        "4:good 1120*720,5:fair 960*540,6:poor 800*480,7: mobile 480*272)"),
    .presets = &ravelins_presets,
    .format_setting = line("Format is setting, please wait..."),
    .format_set_ok = line("Format is set OK!"),

    .latest_manual = exact("the latest setting is Manual mode:"),
    .latest_manual_other = none,
    .latest_presets = &ravelins_presets,
    .latest_advanced = exact("the latest setting is Advanced mode: %d * %d %d \n"),
    .mute_restarts_capture = false,

    .reset_reads_status_first = false,
    .mode_bytes_before_format = false,
    .advanced_mode = exact("set output format to advanced: %d,%d,%d,%d,%d,%d\n"),

    .spi_check_error = exact("----------spi flash check error! %x, %x, %x, %x\n"),
    .spi_write_enable_error = line(" spi_WriteEnable error!"),
    .spi_write_disable_error = line(" spi_WriteDisable error!"),
    .spi_release_error = line(" spi_GetFlashID error 00 !"),
    .spi_read_error = line(" spi_read32bit error!"),
    .spi_read1page_word = exact(" spi_read1page addr: %x\n  ( %6x)"),
    .spi_write_error = line(" spi_Write32bit 1 error!"),
    .spi_poll_error = line(" spi_Write32bit 2 error!"),
    .spi_write32_busy = exact(SPI_WRITE_BUSY "\n"),
    .spi_write1page_busy = exact(SPI_WRITE_BUSY "\n"),
    .spi_deep_power_down_error = line(" spi_EnterDeepPowerDown error!"),
};

namespace {

const zeb_program* current = &zeb_program_ravelins;
zeb_sink sink = nullptr;

}  // namespace

void zeb_select_program(const zeb_program& program, zeb_sink s)
{
    current = &program;
    sink = s;
}

const zeb_program& zeb_current_program() { return *current; }

void zeb_detail::emit(bool line, const char* format, ...)
{
    if (!sink)
        return;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (n >= 0) {
        std::vector<char> text(std::size_t(n) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        sink(text.data(), line);
    }
    va_end(again);
}
