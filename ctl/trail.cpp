// SPDX-License-Identifier: GPL-2.0-or-later
// The trail of changes: every write ravelinctl makes to a card goes to the
// system log through syslog(3), which libc has on every architecture the
// tool is built for: which card, what it stored before and after, how the
// write ended and who asked. Reads leave no trace.
#include "rack.h"

#include "zeb_card.h"

#include <cstdlib>
#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

namespace ctl {

namespace {

std::string user_name(uid_t uid)
{
    const passwd* p = getpwuid(uid);
    return (p ? std::string(p->pw_name) : "?") + " (uid " + std::to_string(uid) + ")";
}

std::string node_text(card_session& s, const mac_address& mac)
{
    return "card " + mac_text(mac) + " on " + s.path();
}

void send(int priority, const std::string& line)
{
    openlog("ravelinctl", LOG_PID, LOG_USER);
    syslog(priority, "%s", line.c_str());
    closelog();
}

// One change about to be made on an open, identified card.
class change_trail {
public:
    change_trail(card_session& s, const wanted_config& want, const std::optional<mac_address>& mac,
                 const std::string& source);
    void done(const std::vector<std::string>& written);
    void failed(const failure& f);

private:
    void log(int priority, const std::string& what, const std::string& result);
    card_session& session_;
    wanted_config want_;
    card_status before_;
    std::string source_;
};

}  // namespace

std::string requester()
{
    std::string who = "asked by " + user_name(getuid());
    if (geteuid() != getuid())
        who += " as " + user_name(geteuid());
    // sudo's word for who ran it; only sudo (running as root) is taken at its word.
    if (const char* sudo = std::getenv("SUDO_USER"); sudo && *sudo && geteuid() == 0) {
        std::string name;
        for (const char* p = sudo; *p && name.size() < 64; ++p)
            name += (*p > 0x20 && *p < 0x7f) ? *p : '?';
        who += " through sudo by " + name;
    }
    return who;
}

std::string setting_text(const card_status& s, const std::string& what)
{
    const nlohmann::ordered_json j = status_json(s);
    if (what == "program_name") {
        // The bytes themselves, so that a change of encoding alone is seen.
        std::string t = "\"";
        for (unsigned char c : s.program_name) {
            char e[8];
            if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\')
                std::snprintf(e, sizeof e, "\\x%02x", c);
            else
                e[0] = char(c), e[1] = 0;
            t += e;
        }
        return t + "\"";
    }
    return j[what].dump();
}

change_trail::change_trail(card_session& s, const wanted_config& want, const std::optional<mac_address>& mac,
                           const std::string& source)
    : session_(s), want_(want), source_(source)
{
    before_ = s.read_config(bool(want.output), bool(want.mute), bool(want.program_name));
    before_.mac = mac ? *mac : read_mac(s);
}

void change_trail::log(int priority, const std::string& what, const std::string& result)
{
    const card_status after = with_wanted(before_, want_);
    send(priority, node_text(session_, before_.mac) + ": " + what + " " + setting_text(before_, what) + " -> " +
                       setting_text(after, what) + ": " + result + (source_.empty() ? "" : " (" + source_ + ")") +
                       "; " + requester());
}

void change_trail::done(const std::vector<std::string>& written)
{
    for (const auto& what : written)
        log(LOG_NOTICE, what, "written");
}

void change_trail::failed(const failure& f)
{
    // What the run had begun to write, which the card may hold now; or,
    // when it failed before writing, what it was asked to write.
    const std::vector<std::string> meant = f.written.empty() ? settings_of(want_) : f.written;
    for (const auto& what : meant)
        log(LOG_ERR, what, "failed while " + f.step + ": " + f.what());
}

mac_address read_mac(card_session& s)
{
    mac_address mac{};
    const std::vector<unsigned char> bytes = s.read_eeprom(zeb_eeprom::mac, zeb_eeprom::mac_length);
    std::copy(bytes.begin(), bytes.end(), mac.begin());
    return mac;
}

std::vector<std::string> apply_logged(card_session& s, const wanted_config& want, bool force,
                                      std::optional<mac_address> mac, const std::string& source)
{
    change_trail trail(s, want, mac, source);
    std::vector<std::string> written;
    try {
        written = s.apply(want, force);
    } catch (const failure& f) {
        trail.failed(f);
        throw;
    }
    trail.done(written);
    return written;
}

int reset_logged(card_session& s, bool mcu)
{
    const mac_address mac = read_mac(s);
    const std::string what = node_text(s, mac) + ": reset " + (mcu ? "mcu" : "capture") + ": ";
    try {
        const int rounds = s.reset(mcu);
        send(LOG_NOTICE, what + "done; " + requester());
        return rounds;
    } catch (const failure& f) {
        send(LOG_ERR, what + "failed while " + f.step + ": " + f.what() + "; " + requester());
        throw;
    }
}

}  // namespace ctl
