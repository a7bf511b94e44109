// SPDX-License-Identifier: GPL-2.0-or-later
#include "zeb_status.h"

#include "zeb_card.h"

namespace {

// Per thread: the window program drives the card from its worker threads.
thread_local zeb_status record;
thread_local zeb_observer observer_fn = nullptr;
thread_local void* observer_context = nullptr;
thread_local unsigned int command_sent = 0;

}  // namespace

zeb_status zeb_take_status()
{
    zeb_status taken = record;
    record = zeb_status{};
    return taken;
}

void zeb_observe(zeb_observer observer, void* context)
{
    observer_fn = observer;
    observer_context = context;
}

void zeb_detail::note(const zeb_event& event)
{
    if (zeb_is_failure(event.kind) && record.failures++ == 0)
        record.first = event;
    if (observer_fn)
        observer_fn(event, observer_context);
}

void zeb_detail::note_command(unsigned int command) { command_sent = command; }

unsigned int zeb_detail::last_command() { return command_sent; }

void zeb_detail::note_wait(zeb_event_kind kind, zeb_wait_kind wait, int round)
{
    zeb_event e{};
    e.kind = kind;
    e.wait = wait;
    e.round = round;
    e.rounds = zeb_wait::restart_rounds;
    note(e);
}
