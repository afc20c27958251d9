// What the board would do with each image of a package, decided by the board's own code: the
// package walk and header decoding (image/image_format.h), the boot path's rule for a slot image
// (boot/boot_sequence.h), and the signature policy with the key store behind it
// (security/signature_policy.h, security/keystore.h), which run on a scratch simulated board set
// up as the unit is: its serial number, its key files or the given public keys, low security
// mode, the installed root file system.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace bootimg {

struct CheckSetup {
    // The unit serial number (12 bytes at most); empty: a unit of this tool's own.
    std::string serial;
    // Key files as the unit keeps them under /user (encrypted under its serial number), or
    // public keys in PEM form to be made into such files; empty: the build's built-in keys.
    std::vector<std::uint8_t> production_key_file, development_key_file;
    std::string production_key_pem, development_key_pem;
    bool lowsec = false;                      // lowsec=authorised in the boot environment
    std::vector<std::uint8_t> installed_rfs;  // the root file system region as the unit holds it
    int slot = 0;                             // the slot answer; 0: the operator is asked
};

enum class Verdict { installs, stepped_over, refused, operator_decides };

struct ImageCheck {
    std::size_t index = 0;  // from 1, in package order
    std::uint64_t offset = 0;
    std::uint32_t magic = 0;
    std::uint32_t id = 0;
    int header_version = 0;
    std::uint64_t length = 0;
    Verdict verdict = Verdict::installs;
    std::string destination;           // where it would go
    std::vector<std::string> reasons;  // why, in the order the board checks
    std::string board_says;            // what the board's code printed while it was asked
};

struct PackageCheck {
    std::vector<ImageCheck> images;
    // The board installs images in order and stops at the first refused one: its index (from 1),
    // or 0 when it goes through.
    std::size_t stops_at = 0;
    bool installs_any = false;  // else the board says "ERROR: No valid image found"
    bool all_installed() const { return stops_at == 0 && installs_any; }
    std::string setup_problem;  // the scratch board could not be set up (then nothing else holds)
};

PackageCheck check_package(std::span<const std::uint8_t> package, const CheckSetup& setup);

const char* verdict_name(Verdict v);

}  // namespace bootimg
