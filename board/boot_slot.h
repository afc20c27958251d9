// The slot the board boots from, as its EEPROM records it. The boot sequence starts there and
// the installer asks it, so it sits below both.
#pragma once

// The slot a boot slot byte names: 2 for 2, slot 1 for every other value.
int boot_slot_for_byte(int byte);
// 2 when the EEPROM's boot slot byte says 2; 1 for anything else, an unreadable byte included.
int choose_boot_slot();
