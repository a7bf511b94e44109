// SPDX-License-Identifier: GPL-2.0-or-later
#include "card_ops.h"

#include "zeb_card.h"
#include "zeb_program.h"
#include "zeb_status.h"

#include <unistd.h>

namespace {

// Sleeps first, then looks; prints the OK text when the card is idle.
int ready_wait(zebecp3& card, const zeb_text<>& ok, zeb_wait_kind wait)
{
    int busy = 0;
    while (busy < zeb_wait::restart_rounds) {
        sleep(zeb_wait::restart_round_seconds);
        if (card.read_mcu_status() == 0) {
            zeb_say(ok);
            break;
        }
        ++busy;
        zeb_detail::note_wait(zeb_event_kind::wait_round, wait, busy);
    }
    if (busy == zeb_wait::restart_rounds)
        zeb_detail::note_wait(zeb_event_kind::wait_ran_out, wait, busy);
    return busy;
}

// Each one-byte write sends a whole word: the byte, then three zero bytes.
void store_mode(zebecp3& card, unsigned char automatic, unsigned char preset)
{
    unsigned char byte[4] = {automatic, 0, 0, 0};
    card.write_24cxx(zeb_eeprom::auto_flag, 1, byte);
    byte[0] = preset;
    card.write_24cxx(zeb_eeprom::preset, 1, byte);
}

}  // namespace

int software_reset(zebecp3& card)
{
    card.CaptureSoftReset();
    zeb_say(zeb_common.soft_reset_wait);
    if (!zeb_current_program().reset_reads_status_first)
        return ready_wait(card, zeb_common.soft_reset_ok, zeb_wait_kind::software_reset);
    int busy = 0;
    while (card.read_mcu_status()) {
        sleep(zeb_wait::restart_round_seconds);
        if (++busy >= zeb_wait::restart_rounds) {
            zeb_detail::note_wait(zeb_event_kind::wait_ran_out, zeb_wait_kind::software_reset, busy);
            return busy;
        }
        zeb_detail::note_wait(zeb_event_kind::wait_round, zeb_wait_kind::software_reset, busy);
    }
    zeb_say(zeb_common.soft_reset_ok);
    return busy;
}

int mcu_reset(zebecp3& card)
{
    zeb_say(zeb_common.mcu_reset_wait);
    card.mcu_software_reset();
    return ready_wait(card, zeb_common.mcu_reset_ok, zeb_wait_kind::mcu_reset);
}

namespace {

// The automatic and the manual mode differ only in their bytes and text;
// the programs differ in whether the bytes are stored before the format is set.
void output_format(zebecp3& card, unsigned char automatic, unsigned char preset,
                   const zeb_text<>& text)
{
    const bool bytes_first = zeb_current_program().mode_bytes_before_format;
    if (bytes_first)
        store_mode(card, automatic, preset);
    zeb_say(text);
    card.SetCaptureFormat(automatic, preset);
    if (!bytes_first)
        store_mode(card, automatic, preset);
}

}  // namespace

void output_auto(zebecp3& card)
{
    output_format(card, 1, 0, zeb_common.auto_mode);
}

void output_manual(zebecp3& card, int preset)
{
    output_format(card, 0, (unsigned char)preset, zeb_common.manual_mode);
}

void output_advanced(zebecp3& card, advice_number a)
{
    store_mode(card, 0, 0);
    zeb_say(zeb_current_program().advanced_mode, a.profileNum, a.levelNum, a.H_Num, a.V_Num,
            a.bitrateNum, a.frameNum);
    card.advanced_setting(a);
}
