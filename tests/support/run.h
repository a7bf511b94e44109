// SPDX-License-Identifier: GPL-2.0-or-later
// Runs a program to its end and collects what it printed, for end-to-end tests.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct Result {
    int status = -1;       // exit status, or 128 + signal number
    std::string out;       // standard output, byte for byte
    std::string err;       // standard error
};

// Runs argv[0] (a path, or a name searched in PATH) with the extra environment
// entries ("NAME=value") added to the test's own. 32-bit programs that the
// kernel cannot execute go through qemu-i386.
Result run(const std::vector<std::string>& argv,
           const std::vector<std::string>& env = {},
           const std::string& stdin_text = "");

// Whether the kernel starts `program` itself, so that launchers such as
// setpriv, timeout and sh can start it: false for a 32-bit program on a kernel
// without 32-bit support, and where CARDSIM_FORCE_QEMU (or a tree configured
// with RAVELIN_FORCE_QEMU) sends 32-bit programs through qemu-i386, so that a
// kernel that does run them takes that route too. Tests choose their route by
// it, never by probing the kernel themselves.
bool kernel_runs(const std::string& program);

// `program` as the first words of a shell command: "qemu-i386 PROGRAM" where
// the kernel does not start it.
std::string as_command(const std::string& program);

// Lets cardsim serve /bin/sh as its COMMAND: in the i386 tree the shell is of
// the other class, whose interposer the x86-64 tree builds (`other_class_preload`,
// which scripts/build.sh names); false where it is not there. Sets
// CARDSIM_PRELOAD_32 or _64 for the test's runs; unset them after the test.
bool serve_a_shell(const std::string& other_class_preload);

// A fresh empty directory under the test's temporary folder, removed with
// everything in it when the test program exits.
std::string make_temp_dir(const std::string& tag);

std::string read_file(const std::string& path);

// The EEPROM of a new simulated card: MAC 00:1a:2b:3c:4d:5e at 8, 0x60 at 18,
// automatic output format at 20.
std::vector<unsigned char> factory_eeprom();

// Stores a new card's EEPROM with `changes` (address, bytes) made in
// dir/eeprom, before a run; false when it cannot be written.
bool store_eeprom(const std::string& dir, const std::vector<std::pair<int, std::vector<unsigned char>>>& changes);

// EEPROM bytes [from, from + count) of the card in `dir`, as "00 1a 2b".
std::string eeprom_hex(const std::string& dir, int from, int count);

// The events of dir/trace without their time, and how many start with `prefix`.
std::vector<std::string> trace_events(const std::string& dir);
int count_events(const std::string& dir, const std::string& prefix);

// `program` with `args` under the cardsim at `cardsim`, on the card in `dir`,
// which is idle right after each restart unless the `card` options say
// otherwise; dir/trace holds the requests of this run only. `env` as for run.
Result run_under_cardsim(const std::string& cardsim, const std::string& dir, const std::string& program,
                         const std::vector<std::string>& args, const std::vector<std::string>& card = {},
                         const std::string& stdin_text = "", const std::vector<std::string>& env = {});

}  // namespace testsupport
