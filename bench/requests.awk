# SPDX-License-Identifier: GPL-2.0-or-later
# The requests of one cardsim trace against the fewest the mailbox protocol
# allows: per EEPROM read command the command word, one status read in each
# handshake phase, the acknowledge and one data word per four bytes; the
# bytes read, grouped into runs of consecutive addresses, in as few commands
# of at most 8 bytes as possible; and the register reads (all of them, or
# -v regs_needed=N where some were read more often than needed).
# Command words are 0xAACC..OO: address, 0, count, opcode (mawk: no bit operations).
function hex(t,   v, i) { v = 0; for (i = 1; i <= length(t); i++) v = v * 16 + index("0123456789abcdef", substr(t, i, 1)) - 1; return v }
/ (REG|WINDOW)_(READ|WRITE) / { requests++ }
/ REG_READ / { regs++ }
/ WINDOW_WRITE 0x00 / {
  w = substr($4, 3); op = hex(substr(w, 7, 2))
  if (op == 49) {
    n = hex(substr(w, 5, 2)); a = hex(substr(w, 1, 2)); commands++
    for (k = 0; k < n; k++) { if (seen[a + k]++) twice++; bytes++ }
  } else other++
}
END {
  min = (regs_needed != "" ? regs_needed : regs); mincmd = 0
  for (a = 0; a < 256; a++) {
    if (!(a in seen)) continue
    if (a > 0 && ((a - 1) in seen)) continue
    len = 0; while ((a + len) in seen) len++
    while (len > 0) { n = len > 8 ? 8 : len; mincmd++; min += 4 + int((n + 3) / 4); len -= n }
  }
  printf "  %d requests (minimum %d: %d register reads, %d EEPROM bytes in %d commands, fewest %d)\n",
         requests, min, regs, bytes, commands, mincmd
  printf "  EEPROM bytes read twice: %d; mailbox commands other than reads: %d\n", twice + 0, other + 0
}
