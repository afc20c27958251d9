// The slot the board boots from, as its EEPROM records it. The boot sequence starts there and
// the installer asks it, so it sits below both.
#pragma once

// 2 when the EEPROM's boot slot byte says 2; 1 for anything else, an unreadable byte included.
int choose_boot_slot();
