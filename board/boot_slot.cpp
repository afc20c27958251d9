#include "board/boot_slot.h"

#include "board/i2c_devices.h"

int boot_slot_for_byte(int byte) {
    return byte == 2 ? 2 : 1;
}

int choose_boot_slot() {
    return boot_slot_for_byte(eeprom_read_boot_slot());
}
