// Verify after write: writers that store wrong data and still say ACK are caught by reading
// the range back; a read-back that fails is told apart from data that differs.
#include "session_rig.h"

#include "host/model/result_message.h"

namespace kelvra::run::test {
namespace {

constexpr std::uint32_t kFlash = 0x08000000;

struct WriteRun {
    ATResult result = -100;
    std::string detail;
    bool verified = false;
    std::uint32_t verified_bytes = 0;
};

// Connect, erase, write a 1 KiB image at the start of flash.
WriteRun write_once(const sim::FaultSettings &faults, bool verify) {
    SessionRig rig({.writers = 1, .faults = faults, .verify = verify});
    std::string image(1024, '\0');
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + 1);
    write_file(rig.scratch / "image.bin", image);
    S_CmdParam erase = command(ATCmdEraseTarget);
    erase.timeout = 5000;
    S_CmdParam write = with_file(ATCmdWriteTargetMemory, rig.scratch / "image.bin");
    write.address = kFlash;
    EXPECT_EQ(rig.scan().size(), 1u);
    EXPECT_TRUE(rig.run({command(ATCmdConnectTarget), erase, write}));
    WriteRun r;
    for (const StepEvent &step : rig.view.steps()) {
        if (step.step != 3) continue;
        r.result = step.result;
        r.detail = step.detail;
        r.verified = step.verified;
        r.verified_bytes = step.verified_bytes;
    }
    return r;
}

TEST(Verify, WrongDataStoredSilentlyFailsTheWrite) {
    struct Case {
        const char *name;
        sim::FaultSettings faults;
        const char *detail;
    };
    const Case cases[] = {
        // Byte 0x10 of the image is 0x71; the writer stores 0x70.
        {"a flipped bit", {.flip_bit = kFlash + 0x10}, "first difference at 0x08000010: wrote 0x71, read 0x70; 1 byte(s) differ"},
        // The second chunk stays erased; one of its 256 image bytes happens to be 0xFF.
        {"a dropped chunk", {.drop_chunk = 2}, "first difference at 0x08000100: wrote 0x01, read 0xFF; 255 byte(s) differ"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const WriteRun r = write_once(c.faults, true);
        EXPECT_EQ(r.result, kHostErrVerify);
        EXPECT_NE(r.detail.find(c.detail), std::string::npos) << r.detail;
        EXPECT_FALSE(r.verified);
        // Without verify the same writer passes, as the writer itself never said otherwise.
        const WriteRun unchecked = write_once(c.faults, false);
        EXPECT_EQ(unchecked.result, 0);
        EXPECT_FALSE(unchecked.verified);
    }
    EXPECT_FALSE(ATCmdErrorMessage(kHostErrVerify).empty());
}

TEST(Verify, AGoodWriteIsVerifiedByteForByte) {
    const WriteRun r = write_once({}, true);
    EXPECT_EQ(r.result, 0) << r.detail;
    EXPECT_TRUE(r.verified);
    EXPECT_EQ(r.verified_bytes, 1024u);
}

TEST(Verify, AReadBackThatFailsIsNotADifference) {
    const WriteRun r = write_once({.code = AT_CODE_TARGET_READ, .nack = KVAT_ERR_TARGET_READ}, true);
    EXPECT_EQ(r.result, KVAT_ERR_TARGET_READ);
    EXPECT_NE(r.detail.find("could not verify"), std::string::npos) << r.detail;
    const WriteRun lying = write_once({.code = AT_CODE_TARGET_READ, .payload_size = 8}, true);
    EXPECT_EQ(lying.result, KVAT_ERR_PACKAGE);
    EXPECT_NE(lying.detail.find("could not verify"), std::string::npos) << lying.detail;
}

}  // namespace
}  // namespace kelvra::run::test
