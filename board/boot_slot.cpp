#include "board/boot_slot.h"

#include "board/i2c_devices.h"

int choose_boot_slot() {
    const int slot = eeprom_read_boot_slot();
    return slot == 2 ? 2 : 1;
}
