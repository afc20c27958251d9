// Rescue download of an image package from a TFTP server over the management port.
#pragma once

// Asks for the port's address, the server and the file name, configures eth0, fetches the file
// into "/tmp/image" and installs it. 0 when the operator left, a break was seen or the transfer
// failed; otherwise the result of image_install_package.
int rescue_tftp_download();
