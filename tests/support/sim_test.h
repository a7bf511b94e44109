// SPDX-License-Identifier: GPL-2.0-or-later
// The one GoogleTest fixture over the simulator's state: a fresh card served
// in this process by the linked libcardsim.so, its state folder and trace.
// The simulator's tests (SimTest) and the library's (SimCard) build on it.
#pragma once

#include "run.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

class SimStateTest : public ::testing::Test {
protected:
    // tag names the state folders ("ravelin-<tag>-...").
    explicit SimStateTest(std::string tag) : tag_(std::move(tag)) {}

    // A fresh state folder, with `eeprom` as the whole EEPROM unless it is
    // empty (a new card), and its card served with `settings`
    // ("CARDSIM_NAME=value") on top of none; with `traced`, first a trace
    // into the folder's file "trace" (trace(), events(), requests()).
    void serve(const std::vector<std::string>& settings, const std::vector<unsigned char>& eeprom = {},
               bool traced = false);
    // Clears every card setting, so that the next test starts from none, and removes the folder.
    void TearDown() override;

    std::string file(const char* name) const { return testsupport::read_file(dir + "/" + name); }
    std::vector<unsigned char> eeprom() const { return testsupport::read_eeprom(dir); }
    std::vector<testsupport::Event> trace() const { return testsupport::read_trace(dir); }
    // The trace's requests only (no sleeps, opens or closes).
    std::vector<std::string> requests() const;
    // The trace's events whose text starts with `prefix`.
    std::vector<testsupport::Event> events(const std::string& prefix) const;
    // Virtual seconds of the card's clock.
    double now() const;

    std::string dir;

private:
    std::string tag_;
};
