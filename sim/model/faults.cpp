// SPDX-License-Identifier: GPL-2.0-or-later
#include "faults.h"

#include "text.h"

namespace cardsim {

const fault_spec fault_table[] = {
    {"receiver-busy", nullptr, "the mailbox never takes a command (status bit 0 stays set)",
     &fault_set::receiver_busy, nullptr, 0, 0, nullptr},
    {"no-completion", nullptr, "the mailbox never signals completion after the acknowledge",
     &fault_set::no_completion, nullptr, 0, 0, nullptr},
    {"write-error", nullptr, "every EEPROM write reports status bit 1 and stores nothing", &fault_set::write_error,
     nullptr, 0, 0, nullptr},
    {"busy", "N", "after each restart the card stays busy for N rounds of 2 seconds\n(busy time 2N+1 s)",
     &fault_set::busy_set, &fault_set::busy_rounds, 100000, 0, "rounds of 2 seconds"},
    {"busy", "forever", "the card never becomes idle after a restart", &fault_set::busy_set, &fault_set::busy_rounds, 0,
     0, nullptr},
    {"busy-at-start", nullptr, "the card is busy from the start until the busy time has passed",
     &fault_set::busy_at_start, nullptr, 0, 0, nullptr},
    {"reg-read-fail", nullptr, "every register read fails (the request returns -1, errno EIO)",
     &fault_set::reg_read_fail, nullptr, 0, 0, nullptr},
    {"latency", "N", "the mailbox needs N status reads before each handshake step (default 1)", nullptr,
     &fault_set::latency, 1000000, 1, "status reads"},
    {"spi-busy", nullptr, "the SPI controller never reports free", &fault_set::spi_busy, nullptr, 0, 0, nullptr},
    {"spi-busy-after", "N", "the SPI controller serves N transfers, then never reports free", nullptr,
     &fault_set::spi_busy_after, 1000000, forever, "SPI transfers"},
    {"spi-busy-polls", "N", "after each transfer the SPI controller reports busy for N reads, then free",
     nullptr, &fault_set::spi_busy_polls, 1000000, 0, "reads of register 0x10"},
    {"flash-stuck", nullptr, "an erase or page program never finishes", &fault_set::flash_stuck, nullptr, 0, 0,
     nullptr},
    {"other-driver", nullptr, "the node is another driver's: the card's four requests fail with ENOTTY",
     &fault_set::other_driver, nullptr, 0, 0, nullptr},
};
const unsigned fault_count = sizeof fault_table / sizeof fault_table[0];

namespace {

bool is_forever(const fault_spec& f) { return f.value && std::string(f.value) == "forever"; }
bool takes_number(const fault_spec& f) { return f.value && std::string(f.value) == "N"; }

}  // namespace

std::string fault_label(const fault_spec& f) { return f.value ? std::string(f.name) + "=" + f.value : f.name; }

std::string parse_fault(const std::string& text, fault_set& out)
{
    size_t eq = text.find('=');
    std::string name = text.substr(0, eq);
    bool has_value = eq != std::string::npos;
    std::string value = has_value ? text.substr(eq + 1) : "";
    std::string spellings;  // of this name, for the error
    for (unsigned i = 0; i < fault_count; ++i) {
        const fault_spec& f = fault_table[i];
        if (name != f.name)
            continue;
        if (!f.value) {
            if (has_value)
                return "fault '" + name + "' takes no value";
            out.*f.flag = true;
            return "";
        }
        uint64_t n = 0;
        if (is_forever(f) && value == "forever") {
            out.*f.flag = true;
            out.*f.number = forever;
            return "";
        }
        if (takes_number(f) && parse_decimal(value, f.max, n)) {
            if (f.flag)
                out.*f.flag = true;
            out.*f.number = n;
            return "";
        }
        spellings += spellings.empty() ? "" : " or ";
        spellings += takes_number(f) ? "=N (" + std::string(f.unit) + ", 0 to " + std::to_string(f.max) + ")"
                                     : "=" + std::string(f.value);
    }
    if (!spellings.empty())
        return "fault '" + name + "' needs " + spellings;
    std::string known;
    for (unsigned i = 0; i < fault_count; ++i)
        known += (i ? ", " : "") + fault_label(fault_table[i]);
    return "unknown fault '" + text + "' (known: " + known + ")";
}

std::string parse_faults(const std::string& text, fault_set& out)
{
    fault_set f;
    if (!text.empty()) {
        for (const auto& part : split(text, ',')) {
            std::string err = parse_fault(part, f);
            if (!err.empty())
                return err;
        }
    }
    out = f;
    return "";
}

std::string format_faults(const fault_set& faults)
{
    std::string s;
    auto add = [&](const std::string& part) { s += (s.empty() ? "" : ",") + part; };
    for (unsigned i = 0; i < fault_count; ++i) {
        const fault_spec& f = fault_table[i];
        if (!f.value) {
            if (faults.*f.flag)
                add(f.name);
        } else if (is_forever(f)) {
            if (faults.*f.flag && faults.*f.number == forever)
                add(fault_label(f));
        } else {
            uint64_t n = faults.*f.number;
            bool given = f.flag ? faults.*f.flag && n != forever : n != f.unset;
            if (given)
                add(std::string(f.name) + "=" + std::to_string(n));
        }
    }
    return s;
}

std::string faults_help()
{
    std::string out = "Faults:\n";
    for (unsigned i = 0; i < fault_count; ++i) {
        std::string label = fault_label(fault_table[i]);
        std::string help = fault_table[i].help;
        std::string pad = label.size() < 16 ? std::string(16 - label.size(), ' ') : "  ";
        size_t start = 0;
        bool first = true;
        for (;;) {
            size_t end = help.find('\n', start);
            out += (first ? "  " + label + pad : std::string(18, ' ')) + help.substr(start, end - start) + "\n";
            first = false;
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    }
    return out;
}

std::string faults_list()
{
    std::string out;
    for (unsigned i = 0; i < fault_count; ++i)
        out += fault_label(fault_table[i]) + "\n";
    return out;
}

}  // namespace cardsim
