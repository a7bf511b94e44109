// SPDX-License-Identifier: GPL-2.0-or-later
// What ravelinctl prints: the text for people and, with --json, one JSON
// object per run on standard output, built with nlohmann::json.
//
// JSON shapes (docs/ holds the schema; keep both in step). Integers are JSON
// numbers without fraction, booleans true/false, strings UTF-8.
//
// Every card command (status, set, mute, name, reset, apply, flash) starts with
//   "adapter": int, "frontend": int      the node used (also when picked by --mac)
//
// status
//   "mac": string "00:1a:2b:3c:4d:5e" (lower-case hex, colons)
//   "input": { "width": int, "height": int, "rate": int (the card's frequency
//              code, as ravelins -i prints it), "progressive": bool }
//   "output": one of
//     { "mode": "auto" }
//     { "mode": "preset", "preset": int 1-7, "name": string (super, ultra,
//       excellent, good, fair, poor, mobile) }
//     { "mode": "advanced", "profile": "high" | "main", "level": int (the
//       stored code, 30 31 32 40 41 42 when set by the programs), "width": int,
//       "height": int, "bitrate": int (kbit/s), "frame_rate": int,
//       "consistent": false  -- only present when the eleven stored entries
//                               are not what these values store }
//     { "mode": "none" }                    nothing usable is stored
//     { "mode": "none", "invalid_preset": int 8-255 }
//                                           a preset outside 1-7 is stored
//   "mute": bool
//   "program_name": string (the stored bytes as UTF-8; bytes that are not
//                   UTF-8 are read as Latin-1)
//
// set auto|preset|advanced, mute, name, apply
//   "changed": bool                     whether anything was written
//   "written": [string, ...]            what was written, in order, of
//                                       "output", "mute", "program_name";
//                                       empty when unchanged. Every write is
//                                       read back and compared before exit 0.
//
// reset capture|mcu
//   "changed": true
//   "reset": "capture" | "mcu"
//   "busy_rounds": int                  2-second rounds the card stayed busy (0-99)
//
// flash id
//   "manufacturer": int, "type": int, "capacity": int   (the three JEDEC bytes)
//   "version": [int, int, int, int]     the controller's four version bytes
//   "known": bool                       one of the flashes the card is built with
//   "size": int                         bytes, 2^capacity; 0 when not 64 KiB-16 MiB
//
// flash read FILE / flash verify FILE
//   "file": string, "size": int (bytes read from the flash)
//   verify also: "identical": bool, and when false
//   "first_difference": int (byte offset)
//
// list (no adapter/frontend at the top)
//   "nodes": [ { "adapter": int, "frontend": int, "path": string,
//                "kind": "card" | "other" | "unusable",
//                "mac": string            (kind "card" only),
//                "error": string, "fix": string   (kind "unusable" only;
//                                         fix may be "") } ... ]
//
// Errors (any command, exit status 1, 2 or 3): instead of the above
//   { "error": string, "step": string, "exit": int }
//   step names what was being done ("parsing the command line",
//   "opening /dev/dvb/adapter0/frontend0", "reading EEPROM 20-22",
//   "storing the output mode", ...). Nothing else is printed on stdout.
