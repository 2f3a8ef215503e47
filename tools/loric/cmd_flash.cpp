// Commands that read the flash back: timestamp, dump, verify.
#include <cstdio>

#include "arguments.h"
#include "checks.h"
#include "commands.h"
#include "dump.h"
#include "errors.h"
#include "read_window.h"
#include "record.h"

namespace tool {
namespace {

// A range of the flash lies inside the chip, when the chip is known (--chip, LORIC_CHIP, or the
// simulated device's own); without one the read window gives 0xFF past the end.
void CheckRangeIfChipKnown(Job& job, uint64_t address, uint64_t length) {
    if (job.chipNamed()) CheckFlashRange(address, length, job.chip());
}

// The bytes as one hex string, two digits a byte.
std::string HexBytes(const std::vector<uint8_t>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t byte : bytes) text.append({kDigits[byte >> 4], kDigits[byte & 15]});
    return text;
}

// verify's result: its read-back, whether it matched and where it first differed.
nlohmann::json VerifyResult(const std::string& file) {
    const nlohmann::json& doc = Record().doc();
    const auto readback = doc.find("readback");
    nlohmann::json result =
        readback == doc.end() || readback->empty() ? nlohmann::json::object() : readback->back();
    result.erase("what");
    result["file"] = file;
    return result;
}

}  // namespace

int CmdTimestamp(const Globals& globals, const TimestampOptions&) {
    Job job(globals);
    const DeviceLocation& device = job.FindDevice();
    job.RefuseBlank(LORIC_ERR_TIMESTAMP, "it has no time stamp");
    if (InUploadMode(device.state)) {
        // The device gives the stamp of the image it started with, which its flash may no
        // longer hold.
        throw ToolError(
            LORIC_ERR_TIMESTAMP,
            "the time stamp of the device at node " + NodeText(device.node) +
                " is not read: it would be that of the image the device started with, which its "
                "flash may no longer hold (see the note above)");
    }
    // The time stamp is that of the image that started: the firmware's, or the loader's.
    const bool loader = device.state == DeviceState::Loader;
    char time[64] = {};
    char date[64] = {};
    Check(DownloadTimestamp(device.node, time, date),
          loader ? "reading the bootstrap loader's time stamp" : "reading the firmware time stamp");
    std::printf("%s time stamp: %s %s\n",
                loader ? "Bootstrap loader (the device runs no firmware)" : "Firmware", time, date);
    Record().result() = {{"image", loader ? "loader" : "firmware"}, {"time", time}, {"date", date}};
    return kExitOk;
}

int CmdDump(const Globals& globals, const DumpOptions& options) {
    uint32_t address = ParseU32(options.address, "address");
    uint32_t length = ParseU32(options.length, "length");
    Job job(globals);
    CheckRangeIfChipKnown(job, address, length);
    const DeviceLocation& device = job.FindDevice();
    job.RefuseBlank(LORIC_ERR_QUADLET_WRITE, "it has no read window to dump");
    if (options.out.empty()) job.HideProgress();
    std::vector<uint8_t> bytes = ReadFlash(device.node, address, length, &job.progress());
    if (options.out.empty()) {
        if (!globals.json) std::fputs(HexDump(bytes, address).c_str(), stdout);
    } else {
        WriteFileBytes(options.out, bytes);
        job.Say("Wrote " + std::to_string(bytes.size()) + " bytes of flash from " +
                Hex(address, 6) + " to " + options.out + ".");
    }
    Record().result() = {{"address", HexText(address)}, {"size", bytes.size()}};
    if (options.out.empty()) {
        Record().result()["hex"] = HexBytes(bytes);
    } else {
        Record().result()["file"] = options.out;
        Record().result()["sha256"] = FileSha256(options.out);
    }
    return kExitOk;
}

int CmdVerify(const Globals& globals, const VerifyOptions& options) {
    std::vector<uint8_t> expected = ReadInputFile(options.file, "file");
    uint32_t address = options.address.empty() ? 0 : ParseU32(options.address, "--address");
    Job job(globals);
    CheckRangeIfChipKnown(job, address, expected.size());
    job.FindDevice();
    job.RefuseBlank(LORIC_ERR_QUADLET_WRITE, "it has no read window to verify");
    if (options.firmware)
        expected = ProgrammedFirmwareImage(std::move(expected), job.chip().configByteAddress);
    try {
        VerifyRegion(job, address, expected, "flash");
    } catch (const ToolError& error) {
        if (error.code() == kExitVerifyFailed) Record().result() = VerifyResult(options.file);
        // A firmware image at 0 differs from the flash in the parameter that programming sets.
        if (error.code() != kExitVerifyFailed || options.firmware || address != 0) throw;
        throw ToolError(error.code(), error.what(),
                        "If " + options.file +
                            " is a firmware image, add --firmware: programming writes the "
                            "configuration address "
                            "into its parameter. Otherwise program it again.");
    }
    Record().result() = VerifyResult(options.file);
    return kExitOk;
}

}  // namespace tool
