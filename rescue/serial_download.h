// Rescue download of an image package over the serial console line with XMODEM-1K.
#pragma once

#include <termios.h>

// The console line's settings while a download runs at the download speed.
extern struct termios saved_serial_settings;

// Switches "/dev/ttyS0" to the download speed, receives the file into "/tmp/image" and installs
// it. 0 when no complete file arrived; otherwise the result of image_install_package.
int rescue_serial_download();

// Opens the line, saves its settings, switches to 115200 bps raw and waits for the operator's
// Enter at the new speed. The descriptor, or -1 when the line cannot be opened or the operator
// broke off (the line is then already restored and closed).
int serial_prepare_download();

// Puts the saved settings back and waits for the operator's Enter at the old speed.
void serial_restore_console(int fd);
