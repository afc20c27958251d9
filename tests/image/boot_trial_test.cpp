#include "image/boot_trial.h"
#include "image/install_log.h"

#include <gtest/gtest.h>

#include "boot/boot_sequence.h"
#include "crypto/imgsign.h"
#include "flash/flash.h"
#include "image/install.h"
#include "security/keystore.h"
#include "tests/support/security_fixture.h"

namespace {

// One step of a row, each a power-up of its own (or the application's command) in a child:
// what it gave -- the installer's or the command's result, or the slot that booted.
std::string step(TestBoard& b, std::string_view what, const std::vector<sim::Fault>& faults,
                 std::string& out) {
    b->power_up();
    if (what == "spoil") {
        b.write_file(TRIAL_RECORD_PATH, "not a record");
        return "-";
    }
    b.write_file("/tmp/rc", "-");
    const BoardRun r = b.run([&] {
        for (const auto& f : faults) b->inject(f);
        if (what == "boot") boot_main();
        if (what == "confirm") {
            b.write_file("/tmp/rc", std::to_string(boot_trial_confirm()));
            return;
        }
        boot_start_up();
        b.write_file(DOWNLOAD_IMAGE_PATH, image_of("app:s", 13).bytes);
        b.write_file("/tmp/rc", std::to_string(image_install_package(DOWNLOAD_IMAGE_PATH, 0, 2)));
    });
    out += r.out + r.err;
    if (what != "boot") return b.read_file("/tmp/rc").value_or("?");
    const auto at = r.out.rfind("Booting image '");
    return r.exec_seen("/bin/backtrace") && at != std::string::npos ? r.out.substr(at + 15, 1)
                                                                    : "R";
}

// Rows: data/boot_trial.tsv. A board with an older image in each slot and boot slot 1 gets a
// signed application installed into slot 2, then power-ups and confirmations.
TEST(BootTrial, OverPowerUps) {
    for (const auto& row : read_table("tests/image/data/boot_trial.tsv")) {
        SCOPED_TRACE(row.where());
        sim::CreateOptions options;
        options.boot_env = row.list("env", ' ');
        TestBoard b(options);
        b->flash_write(FLASH_SLOT1_OFFSET, image_of("app:v1:n=3000", 11).bytes);
        if (row["slot1"] == "erased") b->flash_write(FLASH_SLOT1_OFFSET, Bytes(64, 0xFF));
        b->flash_write(FLASH_SLOT2_OFFSET, image_of("app:v1:n=2000", 12).bytes);
        const auto faults = faults_of(row["faults"]);
        const std::vector<sim::Fault> none;
        std::string out, results;
        for (const auto& s : row.list("steps", ' ')) {
            const bool faulty = s.starts_with('!');
            results += (results.empty() ? "" : " ") +
                       step(b, std::string_view(s).substr(faulty), faulty ? faults : none, out);
        }
        EXPECT_EQ(results, row["results"]);
        in_order(out + "log:" + b.read_file(INSTALL_LOG_PATH).value_or(""), row["out"], {});
        EXPECT_EQ(b.exists(TRIAL_RECORD_PATH), row["record"] == "yes");
        EXPECT_EQ(b->eeprom_read(EEPROM_BOOT_SLOT_OFFSET, 1)[0], row.num("byte"));
    }
}

TEST(BootTrial, LimitFromTheEnvironment) {
    for (const auto& row : read_table("tests/image/data/boot_trial_limit.tsv")) {
        SCOPED_TRACE(row.where());
        EXPECT_EQ(boot_trial_limit(row["text"].c_str()), row.num("limit"));
    }
}

}  // namespace
