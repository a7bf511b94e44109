// SPDX-License-Identifier: GPL-2.0-or-later
#include "card_ops.h"

#include "zeb_card.h"
#include "zeb_program.h"

#include <unistd.h>

namespace {

// Sleeps first, then looks; prints the OK text when the card is idle.
int ready_wait(zebecp3& card, const zeb_text<>& ok)
{
    int busy = 0;
    while (busy < zeb_wait::restart_rounds) {
        sleep(zeb_wait::restart_round_seconds);
        if (card.read_mcu_status() == 0) {
            zeb_say(ok);
            break;
        }
        ++busy;
    }
    return busy;
}

void store_mode(zebecp3& card, unsigned char* para_byte, unsigned char automatic,
                unsigned char preset)
{
    para_byte[0] = automatic;
    card.write_24cxx(zeb_eeprom::auto_flag, 1, para_byte);
    para_byte[0] = preset;
    card.write_24cxx(zeb_eeprom::preset, 1, para_byte);
}

}  // namespace

int software_reset(zebecp3& card)
{
    card.CaptureSoftReset();
    zeb_say(zeb_common.soft_reset_wait);
    if (!zeb_current_program().reset_reads_status_first)
        return ready_wait(card, zeb_common.soft_reset_ok);
    int busy = 0;
    while (card.read_mcu_status()) {
        sleep(zeb_wait::restart_round_seconds);
        if (++busy >= zeb_wait::restart_rounds)
            return busy;
    }
    zeb_say(zeb_common.soft_reset_ok);
    return busy;
}

int mcu_reset(zebecp3& card)
{
    zeb_say(zeb_common.mcu_reset_wait);
    card.mcu_software_reset();
    return ready_wait(card, zeb_common.mcu_reset_ok);
}

namespace {

// The automatic and the manual mode differ only in their bytes and text;
// the programs differ in whether the bytes are stored before the format is set.
void output_format(zebecp3& card, unsigned char* para_byte, unsigned char automatic,
                   unsigned char preset, const zeb_text<>& text)
{
    const bool bytes_first = zeb_current_program().mode_bytes_before_format;
    if (bytes_first)
        store_mode(card, para_byte, automatic, preset);
    zeb_say(text);
    card.SetCaptureFormat(automatic, preset);
    if (!bytes_first)
        store_mode(card, para_byte, automatic, preset);
}

}  // namespace

void output_auto(zebecp3& card, unsigned char* para_byte)
{
    output_format(card, para_byte, 1, 0, zeb_common.auto_mode);
}

void output_manual(zebecp3& card, unsigned char* para_byte, int preset)
{
    output_format(card, para_byte, 0, (unsigned char)preset, zeb_common.manual_mode);
}

void output_advanced(zebecp3& card, unsigned char* para_byte, advice_number a)
{
    store_mode(card, para_byte, 0, 0);
    zeb_say(zeb_current_program().advanced_mode, a.profileNum, a.levelNum, a.H_Num, a.V_Num,
            a.bitrateNum, a.frameNum);
    card.advanced_setting(a);
}
