#include "zeb_program.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

// The i386 build of the command-line tool polls the mailbox a tenth as long
// and spells its busy message differently.
#ifdef __i386__
#define RAVELINS_MAILBOX_POLLS 100
#define RAVELINS_MCU_BUSY "MCU status is busy!!!"
#else
#define RAVELINS_MAILBOX_POLLS 1000
#define RAVELINS_MCU_BUSY "MC U status is busy!!!"
#endif

#define SPI_WRITE_BUSY "write 16 bit-------------------------------------------------------- register: %x"

constexpr zeb_text none{nullptr, false};

// ravelin: every text is one debug log call; `line` is not looked at.
constexpr zeb_program zeb_program_ravelin = {
    "ravelin",
    {"read eror ", true},

    1000,
    {" read 24cxx parameter error! [num == 0]\n\r", false},
    {" read 24cxx parameter error! [num >8]\n\r", false},
    {" write 24cxx parameter error! [num == 0]", true},
    {" write 24cxx parameter error! [num >8]", true},
    {" write 24cxx parameter error!!! \n\r", false},
    {" the receiver always busy !", true},
    {"MC U status is busy!!!", true},
    {" wait wt_24cxx_done timeout! ", true},

    true,
    {"input format:\nVRow= %d, VColumn= %d, VFreq= %d, VScan= %d", true},
    {{" manual (1--7,1:super 1920*1080,2:ultra 1440*1080,3:excellent 1280*720,4:good 1120*640,"
      "5:fair 960*540,6:poor 800*480,7: mobile 480*272)",
      true},
     {"super 1920*1080 ", true},
     {"ultra 1440*1080 ", true},
     {"excellent 1280*720 ", true},
     {"good 1120*640 ", true},
     {"fair 960*540 ", true},
     {"poor 800*480 ", true},
     {"mobile 480*272 ", true}},
    none,
    none,

    {"the latest setting is Auto mode!", true},
    {"the latest setting is Manual mode:", true},
    {{"no", true},
     {"super 1920*1080", true},
     {"ultra 1440*1080 ", true},
     {"excellent 1280*720", true},
     {"good 1120*640", true},
     {"fair 960*540", true},
     {"poor 800*480", true},
     {"mobile 480*272", true}},
    {"the latest setting is Advanced mode: %d * %d %d ", true},
    true,
    {"program name too long: %zu bytes (at most %d); the stored name is unchanged", true},

    true,
    true,
    {"software Reset, please wait several seconds...", true},
    {"software Reset OK!", true},
    {"MCU Reset, please wait several seconds...", true},
    {"MCU Reset OK!", true},
    {"set output format to auto mode(the same with input format)", true},
    {"set output format to manual mode:", true},
    {"set output format to advanced: %d,%d,%d,%d,%d,%d", true},

    none,
    none,
    none,
    none,
    {" spi read ID error!", true},
    {"version:0x%x\n", false},
    {"read status register: %x\n", false},
    none,
    none,
    none,
    none,
    {SPI_WRITE_BUSY, true},
    none,
    none,
};

// ravelins: standard output, exactly as stored or as a line.
constexpr zeb_program zeb_program_ravelins = {
    "ravelins",
    none,

    RAVELINS_MAILBOX_POLLS,
    {" read 24cxx parameter error! [num == 0]\n\r", false},
    {" read 24cxx parameter error! [num >8]\n\r", false},
    {" write 24cxx parameter error! [num == 0]\n\r", false},
    {" write 24cxx parameter error! [num >8]\n\r", false},
    {" write 24cxx parameter error!!! \n\r", false},
    {" the receiver always busy !\n\r", false},
    {RAVELINS_MCU_BUSY, true},
    {" wait wt_24cxx_done timeout! \n\r", false},

    false,
    {"input format:\nVRow= %d, VColumn= %d, VFreq= %d, VScan= %d", true},
    {{"-M : manual (1--7,1:super 1920*1080,2:ultra 1440*1080,3:excellent 1280*720,4:good 1120*720,"
      "5:fair 960*540,6:poor 800*480,7: mobile 480*272)",
      true},
     {"super 1920*1080 ", true},
     {"ultra 1440*1080 ", true},
     {"excellent 1280*720 ", true},
     {"good 1120*720 ", true},
     {"fair 960*540 ", true},
     {"poor 800*480 ", true},
     {"mobile 480*272 ", true}},
    {"Format is setting, please wait...", true},
    {"Format is set OK!", true},

    {"the latest setting is Auto mode!", true},
    {"the latest setting is Manual mode:", false},
    {none,
     {"super 1920*1080 ", true},
     {"ultra 1440*1080 ", true},
     {"excellent 1280*720 ", true},
     {"good 1120*720 ", true},
     {"fair 960*540 ", true},
     {"poor 800*480 ", true},
     {"mobile 480*272 ", true}},
    {"the latest setting is Advanced mode: %d * %d %d \n", false},
    false,
    {"program name too long: %zu bytes (at most %d); the stored name is unchanged", true},

    false,
    false,
    {"software Reset, please wait several seconds...", true},
    {"software Reset OK!", true},
    {"MCU Reset, please wait several seconds...", true},
    {"MCU Reset OK!", true},
    {"set output format to auto mode(the same with input format)", true},
    {"set output format to manual mode:", true},
    {"set output format to advanced: %d,%d,%d,%d,%d,%d\n", false},

    {"----------spi flash check error! %x, %x, %x, %x\n", false},
    {" spi_WriteEnable error!", true},
    {" spi_WriteDisable error!", true},
    {" spi_GetFlashID error 00 !", true},
    {" spi read ID error!", true},
    {"version:0x%x\n", false},
    {"read status register: %x\n", false},
    {" spi_read32bit error!", true},
    {" spi_read1page addr: %x\n  ( %6x)", false},
    {" spi_Write32bit 1 error!", true},
    {" spi_Write32bit 2 error!", true},
    {SPI_WRITE_BUSY "\n", false},
    {SPI_WRITE_BUSY "\n", false},
    {" spi_EnterDeepPowerDown error!", true},
};

namespace {

// The conversions of a printf format, in order, as their letters ("zu" for
// %zu); a text without a format gives "". Lets the tables be checked against
// the arguments their callers pass.
constexpr bool takes(const char* format, const char* conversions)
{
    if (!format)
        return true;
    const char* c = conversions;
    for (const char* f = format; *f; ++f) {
        if (*f != '%')
            continue;
        ++f;
        if (*f == '%')
            continue;
        while (*f == '-' || *f == '+' || *f == ' ' || *f == '#' || *f == '0' || (*f >= '1' && *f <= '9'))
            ++f;
        if (*f == 'z') {
            if (*c++ != 'z')
                return false;
            ++f;
        }
        if (*c++ != *f)
            return false;
    }
    return *c == '\0';
}

constexpr bool plain(zeb_text t) { return takes(t.text, ""); }

constexpr bool formats_fit(const zeb_program& p)
{
    bool ok = plain(p.read_error) && plain(p.read_num_zero) && plain(p.read_num_over) &&
              plain(p.write_num_zero) && plain(p.write_num_over) && plain(p.write_failed) &&
              plain(p.receiver_busy) && plain(p.mcu_busy) && plain(p.completion_timeout) &&
              takes(p.input_format.text, "dddd") && plain(p.format_setting) &&
              plain(p.format_set_ok) && plain(p.latest_auto) && plain(p.latest_manual) &&
              takes(p.latest_advanced.text, "ddd") && takes(p.name_too_long.text, "zud") &&
              plain(p.soft_reset_wait) && plain(p.soft_reset_ok) && plain(p.mcu_reset_wait) &&
              plain(p.mcu_reset_ok) && plain(p.auto_mode) && plain(p.manual_mode) &&
              takes(p.advanced_mode.text, "dddddd") && takes(p.spi_check_error.text, "xxxx") &&
              plain(p.spi_write_enable_error) && plain(p.spi_write_disable_error) &&
              plain(p.spi_release_error) && plain(p.spi_read_id_error) &&
              takes(p.spi_version.text, "x") && takes(p.spi_status.text, "x") &&
              plain(p.spi_read_error) && takes(p.spi_read1page_word.text, "xx") &&
              plain(p.spi_write_error) && plain(p.spi_poll_error) &&
              takes(p.spi_write32_busy.text, "x") && takes(p.spi_write1page_busy.text, "x") &&
              plain(p.spi_deep_power_down_error);
    for (int i = 0; i < 8; ++i)
        ok = ok && plain(p.preset[i]) && plain(p.latest_manual_preset[i]);
    return ok;
}

static_assert(formats_fit(zeb_program_ravelin), "a ravelin text does not fit its arguments");
static_assert(formats_fit(zeb_program_ravelins), "a ravelins text does not fit its arguments");

const zeb_program* current = &zeb_program_ravelins;
zeb_sink sink = zeb_stdout_sink;

void emit(bool line, const char* format, va_list args)
{
    if (!sink)
        return;
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(nullptr, 0, format, args);
    if (n < 0) {
        va_end(again);
        return;
    }
    std::vector<char> text(size_t(n) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    sink(text.data(), line);
}

}  // namespace

void zeb_select_program(const zeb_program& program) { current = &program; }

const zeb_program& zeb_current_program() { return *current; }

void zeb_set_sink(zeb_sink s) { sink = s; }

void zeb_stdout_sink(const char* text, bool line)
{
    if (line)
        std::puts(text);
    else
        std::fputs(text, stdout);
}

void zeb_say(zeb_text message, ...)
{
    if (!message.text)
        return;
    va_list args;
    va_start(args, message);
    emit(message.line, message.text, args);
    va_end(args);
}

void zeb_report(bool line, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    emit(line, format, args);
    va_end(args);
}
