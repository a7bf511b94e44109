#include "card_ops.h"

#include "zeb_program.h"

#include <unistd.h>

namespace {

constexpr int READY_ROUNDS = 100;
constexpr unsigned char EE_AUTO_FLAG = 20;
constexpr unsigned char EE_PRESET = 21;

// Sleeps first, then looks; prints the OK text when the card is idle.
int ready_wait(zebecp3& card, zeb_text ok)
{
    int busy = 0;
    while (busy < READY_ROUNDS) {
        sleep(2);
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
    card.write_24cxx(EE_AUTO_FLAG, 1, para_byte);
    para_byte[0] = preset;
    card.write_24cxx(EE_PRESET, 1, para_byte);
}

}  // namespace

int software_reset(zebecp3& card)
{
    const zeb_program& p = zeb_current_program();
    card.CaptureSoftReset();
    zeb_say(p.soft_reset_wait);
    if (!p.reset_reads_status_first)
        return ready_wait(card, p.soft_reset_ok);
    int busy = 0;
    while (card.read_mcu_status()) {
        sleep(2);
        if (++busy >= READY_ROUNDS)
            return busy;
    }
    zeb_say(p.soft_reset_ok);
    return busy;
}

int mcu_reset(zebecp3& card)
{
    const zeb_program& p = zeb_current_program();
    zeb_say(p.mcu_reset_wait);
    card.mcu_software_reset();
    return ready_wait(card, p.mcu_reset_ok);
}

void output_auto(zebecp3& card, unsigned char* para_byte)
{
    const zeb_program& p = zeb_current_program();
    if (p.mode_bytes_before_format)
        store_mode(card, para_byte, 1, 0);
    zeb_say(p.auto_mode);
    card.SetCaptureFormat(1, 0);
    if (!p.mode_bytes_before_format)
        store_mode(card, para_byte, 1, 0);
}

void output_manual(zebecp3& card, unsigned char* para_byte, int preset)
{
    const zeb_program& p = zeb_current_program();
    const unsigned char n = (unsigned char)preset;
    if (p.mode_bytes_before_format)
        store_mode(card, para_byte, 0, n);
    zeb_say(p.manual_mode);
    card.SetCaptureFormat(0, n);
    if (!p.mode_bytes_before_format)
        store_mode(card, para_byte, 0, n);
}

void output_advanced(zebecp3& card, unsigned char* para_byte, advice_number a)
{
    store_mode(card, para_byte, 0, 0);
    zeb_say(zeb_current_program().advanced_mode, a.profileNum, a.levelNum, a.H_Num, a.V_Num,
            a.bitrateNum, a.frameNum);
    card.advanced_setting(a);
}
