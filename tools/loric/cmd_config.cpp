// The configuration commands: config generate, import, show, download, upload.
#include <cstdio>
#include <cstring>

#include "../../src/platform/bytes.h"
#include "backup.h"
#include "checks.h"
#include "chip_check.h"
#include "commands.h"
#include "config_json.h"
#include "device_facts.h"
#include "errors.h"
#include "interrupt.h"
#include "read_window.h"
#include "record.h"
#include "rom_decode.h"

namespace tool {

nlohmann::ordered_json DescribeConfigImage(const std::string& image) {
    CONFIG_FILE_INFO info;
    std::memset(&info, 0, sizeof info);
    Check(ImportConfigurationFile(&info, image.c_str()),
          "importing the configuration file " + image);
    // So that generate -> import -> generate gives the same file: the import leaves the
    // firmware revision out, though the unit directory holds it; texts come back padded with
    // spaces to whole quadlets; the top byte of the flags is the data page type, which comes
    // from datapage.dat rather than from the description.
    std::vector<uint8_t> bytes = ReadFileBytes(image);
    const size_t q15 = 104 + 15 * 4;
    if (bytes.size() >= q15 + 4 && bytes[q15 + 3] == 0x3C) {
        info.firmware_revision = loric::bytes::LoadLittleEndian32(&bytes[q15]) & 0x00FFFFFF;
    }
    for (char* text :
         {info.vendor_text, info.hw_version_text, info.lun0_model_text, info.lun1_model_text}) {
        size_t length = strnlen(text, 60);
        while (length > 0 && text[length - 1] == ' ') text[--length] = '\0';
    }
    info.config_flags &= 0x00FFFFFF;
    return DescribeConfig(info);
}

namespace {

void WriteJson(const nlohmann::ordered_json& description, const std::string& out) {
    std::string text = description.dump(2) + "\n";
    if (out.empty() || out == "-") {
        std::fputs(text.c_str(), stdout);
        return;
    }
    WriteFileBytes(out, std::vector<uint8_t>(text.begin(), text.end()));
}

// A file the job wrote, for its --json result.
nlohmann::json WrittenFile(const std::string& path) {
    return {{"file", path}, {"size", FileSize(path)}, {"sha256", FileSha256(path)}};
}

// config show under --json: the decoded fields (the description, when the image decodes) and
// the CRC checks, instead of the text.
int ShowImageJson(const std::string& path, const std::string& source) {
    const RomReport report = DecodeConfigImage(ReadFileBytes(path));
    nlohmann::json& result = Record().result();
    result = {{"source", source},
              {"valid", report.valid},
              {"crc", {{"checked", report.crcChecked}, {"failed", report.crcFailed}}},
              {"problems", report.problems}};
    if (report.valid) {
        try {
            result["fields"] = nlohmann::json::parse(DescribeConfigImage(path).dump());
        } catch (const ToolError& error) {
            result["problems"].push_back(error.what());
        }
    }
    if (report.crcFailed || !report.valid) return LORIC_ERR_CONFIG_IMPORT;
    return kExitOk;
}

int ShowImage(const std::string& path, const std::string& title, bool json) {
    if (json) {
        WriteJson(DescribeConfigImage(path), "");
        return kExitOk;
    }
    RomReport report = DecodeConfigImage(ReadFileBytes(path));
    std::printf("%s\n%s", title.c_str(), report.text.c_str());
    if (report.crcFailed || !report.valid) return LORIC_ERR_CONFIG_IMPORT;
    return kExitOk;
}

// --no-erase programs over what the sector holds, and programming only clears bits: the sector
// must be blank, or the configuration would come out damaged.
void RequireBlankConfigSector(Job& job) {
    const FLASH_DEVICE& chip = job.chip();
    const uint64_t size =
        SectorBytes(chip, static_cast<uint32_t>(chip.configSector - chip.sectors));
    const std::vector<uint8_t> held =
        ReadFlash(job.node(), chip.configByteAddress, static_cast<uint32_t>(size), &job.progress(),
                  "Checking that the configuration sector is blank...");
    size_t used = 0;
    for (uint8_t byte : held) used += byte != 0xFF;
    if (used == 0) return;
    throw ToolError(LORIC_ERR_INVALID_PARAMETER,
                    "--no-erase: the configuration sector at " + Hex(chip.configByteAddress, 6) +
                        " is not blank (" + std::to_string(used) + " of its " +
                        std::to_string(size) +
                        " bytes are written); programming over them would damage the configuration",
                    "Leave out --no-erase, so that the sector is erased first. Nothing on the "
                    "device was changed.");
}

}  // namespace

int CmdConfigGenerate(const Globals& globals, const GenerateOptions& options) {
    GenerateImage(LoadDescriptionFile(options.description), options.out);
    Say(globals, "Wrote the configuration file " + options.out + " (" +
                     std::to_string(FileSize(options.out)) + " bytes).");
    Record().result() = WrittenFile(options.out);
    return kExitOk;
}

int CmdConfigImport(const Globals& globals, const ImportOptions& options) {
    const std::string& image = options.file;
    // The same check as before programming: a file that does not decode is not imported.
    RomReport report = DecodeConfigImage(ReadInputFile(image, "configuration file"));
    if (!report.valid) {
        throw ToolError(
            LORIC_ERR_CONFIG_IMPORT,
            image + " is not a valid configuration image:" + ProblemList(report.problems),
            "`loric config show " + image + "` shows it decoded.");
    }
    const bool toStdout = options.out.empty() || options.out == "-";
    if (globals.json && toStdout) {
        Record().result()["description"] = nlohmann::json::parse(DescribeConfigImage(image).dump());
        return kExitOk;
    }
    WriteJson(DescribeConfigImage(image), options.out);
    if (!toStdout) Say(globals, "Wrote the configuration description " + options.out + ".");
    if (!toStdout) Record().result() = {{"file", options.out}};
    return kExitOk;
}

int CmdConfigShow(const Globals& globals, const ShowOptions& options) {
    if (!options.file.empty()) {
        RequireFile(options.file, "configuration file");
        if (globals.json) return ShowImageJson(options.file, options.file);
        return ShowImage(options.file, "Configuration file " + options.file, options.json);
    }
    TempDir temp;
    std::string image = temp.file("device-config.bin");
    Job job(globals);
    FLASH_DEVICE& chip = job.chip();
    const DeviceLocation& device = job.FindDevice();
    job.RefuseBlank(LORIC_ERR_CONFIG_DOWNLOAD, "it has no configuration to show");
    Check(DownloadConfigurationFile(device.node, &chip, image.c_str(), nullptr),
          "reading the configuration of the device at node " + NodeText(device.node));
    if (globals.json) return ShowImageJson(image, "device");
    return ShowImage(image, "Configuration of the device at node " + NodeText(device.node),
                     options.json);
}

int CmdConfigDownload(const Globals& globals, const DownloadOptions& options) {
    const std::string& out = options.out;
    TempDir temp;
    bool json = out.size() > 5 && out.compare(out.size() - 5, 5, ".json") == 0;
    std::string image = json ? temp.file("device-config.bin") : out;
    Job job(globals);
    FLASH_DEVICE& chip = job.chip();
    const DeviceLocation& device = job.FindDevice();
    job.RefuseBlank(LORIC_ERR_CONFIG_DOWNLOAD, "it has no configuration to save");
    Progress& progress = job.progress();
    uint32_t status =
        DownloadConfigurationFile(device.node, &chip, image.c_str(), progress.window());
    progress.Finish();
    Check(status, "reading the configuration of the device at node " + NodeText(device.node));
    if (json) WriteJson(DescribeConfigImage(image), out);
    job.Say("Saved the device's configuration to " + out + ".");
    Record().result() = WrittenFile(out);
    return kExitOk;
}

int CmdConfigUpload(const Globals& globals, const UploadOptions& options) {
    TempDir temp;
    std::string image = ConfigImageFor(options.file, temp, options.force);
    if (!options.noBackup) RefuseExistingBackup(options.backup);
    BoardIdentity identity(options.identity);
    Job job(globals);
    FLASH_DEVICE& chip = job.chip();
    const DeviceLocation& device = job.FindDevice();
    if (device.state == DeviceState::FlashPort) {
        throw ToolError(LORIC_ERR_UPLOAD_MODE,
                        "the device is blank: a configuration alone cannot be programmed",
                        "Program the loader, firmware and configuration with `loric program`.");
    }
    if (device.state == DeviceState::Loader || device.state == DeviceState::LoaderUpload) {
        throw ToolError(
            LORIC_ERR_UPLOAD_MODE,
            "the device runs only its bootstrap loader: a configuration alone would not start",
            "Program the firmware and configuration with `loric program FIRMWARE CONFIG`.");
    }
    CheckChipAgainstDevice(job);
    if (options.noErase)
        job.RefuseShared("--no-erase", "the board is aimed at by erasing its configuration sector");
    if (options.noErase) RequireBlankConfigSector(job);
    image = identity.Settle(job, image, temp);
    Progress& progress = job.progress();
    std::string backup;
    if (!options.noBackup)
        backup = BackupConfiguration(job, options.backup, identity.PutBackOptions());
    CheckCancelled();
    const std::string recovery = backup.empty()
                                     ? "Run `loric config upload` again."
                                     : "Put the old one back with `loric config upload " + backup +
                                           identity.PutBackOptions() + "`.";
    progress.ExpectBytes(Stage::UploadConfig, FileSize(image));
    Record().AddImage("configuration", options.file, image);
    uint32_t status;
    {
        FlashChange change(FlashJob::Config, recovery);
        job.AimTarget(chip.configSector);
        status = UploadConfigurationFile(job.node(), &chip, image.c_str(), options.noErase ? 0 : 1,
                                         progress.window(), Progress::callback());
        progress.Finish();
    }
    if (status != 0) {
        throw LibraryFailure(status, "programming the configuration", recovery);
    }
    job.Say("Configuration written; the device restarts.");
    job.ExpectIdOf(image);
    job.AwaitRestart();
    if (Interrupted()) {
        throw ToolError(
            LORIC_ERR_CANCELLED,
            "cancelled once the configuration was written (it could not be left half-written); "
            "nothing was read back",
            "The device runs with the new configuration." +
                (backup.empty() ? std::string() : " The old one is saved in " + backup + "."));
    }
    Record().result() = {{"node", NodeText(job.node())}, {"config", options.file}};
    if (options.noVerify) {
        Record().SetVerify("skipped");
        identity.Done();
        job.Say("Configuration programmed (not read back: --no-verify).");
        return kExitOk;
    }
    VerifyRegion(job, chip.configByteAddress, ReadFileBytes(image), "configuration", recovery);
    identity.Done();
    job.Say("Configuration programmed.");
    return kExitOk;
}

}  // namespace tool
