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

// A fresh empty directory under the test's temporary folder, removed with
// everything in it when the test program exits.
std::string make_temp_dir(const std::string& tag);

std::string read_file(const std::string& path);

// The EEPROM of a new simulated card: MAC 00:1a:2b:3c:4d:5e at 8, 0x60 at 18,
// automatic output format at 20.
std::vector<unsigned char> factory_eeprom();

}  // namespace testsupport
