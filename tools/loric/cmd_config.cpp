// The configuration commands: config generate, import, show, download, upload.
#include <cstdio>
#include <cstring>

#include "checks.h"
#include "commands.h"
#include "interrupt.h"
#include "config_json.h"
#include "errors.h"
#include "flash_read.h"
#include "rom_decode.h"

namespace tool {
namespace {

nlohmann::ordered_json ImportToJson(const std::string& image) {
    CONFIG_FILE_INFO info;
    std::memset(&info, 0, sizeof info);
    Check(ImportConfigurationFile(&info, image.c_str()), "importing the configuration file " + image);
    // So that generate -> import -> generate gives the same file: the import leaves the
    // firmware revision out, though the unit directory holds it; texts come back padded with
    // spaces to whole quadlets; the top byte of the flags is the data page type, which comes
    // from datapage.dat rather than from the description.
    std::vector<uint8_t> bytes = ReadFileBytes(image);
    const size_t q15 = 104 + 15 * 4;
    if (bytes.size() >= q15 + 4 && bytes[q15 + 3] == 0x3C) {
        info.firmware_revision = bytes[q15] | (bytes[q15 + 1] << 8) | (bytes[q15 + 2] << 16);
    }
    for (char* text : {info.vendor_text, info.hw_version_text, info.lun0_model_text, info.lun1_model_text}) {
        size_t length = strnlen(text, 60);
        while (length > 0 && text[length - 1] == ' ') text[--length] = '\0';
    }
    info.config_flags &= 0x00FFFFFF;
    return DescribeConfig(info);
}

void WriteJson(const nlohmann::ordered_json& description, const std::string& out) {
    std::string text = description.dump(2) + "\n";
    if (out.empty() || out == "-") {
        std::fputs(text.c_str(), stdout);
        return;
    }
    WriteFileBytes(out, std::vector<uint8_t>(text.begin(), text.end()));
}

int ShowImage(const std::string& path, const std::string& title, bool json) {
    if (json) {
        WriteJson(ImportToJson(path), "");
        return 0;
    }
    RomReport report = DecodeConfigImage(ReadFileBytes(path));
    std::printf("%s\n%s", title.c_str(), report.text.c_str());
    return report.crcFailed ? 19 : (report.valid ? 0 : 19);
}

}  // namespace

int CmdConfigGenerate(const Globals& globals, const std::string& description, const std::string& out) {
    GenerateImage(LoadDescriptionFile(description), out);
    Say(globals, "Wrote the configuration file " + out + " (" + std::to_string(FileSize(out)) + " bytes).");
    return 0;
}

int CmdConfigImport(const Globals& globals, const std::string& image, const std::string& out) {
    // The same check as before programming: a file that does not decode is not imported.
    RomReport report = DecodeConfigImage(ReadInputFile(image, "configuration file"));
    if (!report.valid) {
        throw ToolError(19, image + " is not a valid configuration image:" + ProblemList(report.problems),
                        "`loric config show " + image + "` shows it decoded.");
    }
    WriteJson(ImportToJson(image), out);
    if (!out.empty() && out != "-") Say(globals, "Wrote the configuration description " + out + ".");
    return 0;
}

int CmdConfigShow(const Globals& globals, const std::string& file, bool json) {
    if (!file.empty()) {
        RequireFile(file, "configuration file");
        return ShowImage(file, "Configuration file " + file, json);
    }
    TempDir temp;
    std::string image = temp.file("device-config.bin");
    Session session(globals.target);
    ChipChoice chip = SelectChip(session, globals);
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    if (device.state == DeviceState::FlashPort) throw BlankDeviceError(device, 17, "it has no configuration to show");
    Check(DownloadConfigurationFile(device.node, const_cast<FLASH_DEVICE*>(chip.device), image.c_str(), nullptr),
          "reading the configuration of the device at node " + NodeText(device.node));
    return ShowImage(image, "Configuration of the device at node " + NodeText(device.node), json);
}

int CmdConfigDownload(const Globals& globals, const std::string& out) {
    TempDir temp;
    bool json = out.size() > 5 && out.compare(out.size() - 5, 5, ".json") == 0;
    std::string image = json ? temp.file("device-config.bin") : out;
    Session session(globals.target);
    ChipChoice chip = SelectChip(session, globals);
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    if (device.state == DeviceState::FlashPort) throw BlankDeviceError(device, 17, "it has no configuration to save");
    Progress progress(StyleOf(globals), stderr);
    uint32_t status = DownloadConfigurationFile(device.node, const_cast<FLASH_DEVICE*>(chip.device), image.c_str(),
                                                progress.window());
    progress.Finish();
    Check(status, "reading the configuration of the device at node " + NodeText(device.node));
    if (json) WriteJson(ImportToJson(image), out);
    Say(globals, "Saved the device's configuration to " + out + ".");
    return 0;
}

int CmdConfigUpload(const Globals& globals, const UploadOptions& options) {
    TempDir temp;
    std::string image = ConfigImageFor(options.file, temp, options.force);
    Session session(globals.target);
    ChipChoice chip = SelectChip(session, globals);
    FLASH_DEVICE* flash = const_cast<FLASH_DEVICE*>(chip.device);
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    if (device.state == DeviceState::FlashPort) {
        throw ToolError(14, "the device is blank: a configuration alone cannot be programmed",
                        "Program the loader, firmware and configuration with `loric program`.");
    }
    if (device.state == DeviceState::Loader) {
        throw ToolError(14, "the device runs only its bootstrap loader: a configuration alone would not start",
                        "Program the firmware and configuration with `loric program FIRMWARE CONFIG`.");
    }
    Progress progress(StyleOf(globals), stderr);
    std::string backup;
    if (!options.noBackup) backup = BackupConfiguration(globals, device.node, *chip.device, options.backup, progress);
    CheckCancelled();
    const std::string recovery = backup.empty() ? "Run `loric config upload` again."
                                                : "Put the old one back with `loric config upload " + backup + "`.";
    progress.ExpectBytes("Uploading configuration...", FileSize(image));
    uint32_t status;
    {
        FlashChange change(FlashJob::Config, recovery);
        status = UploadConfigurationFile(device.node, flash, image.c_str(), options.noErase ? 0 : 1, progress.window(),
                                         Progress::callback());
        progress.Finish();
    }
    if (status != 0) {
        throw ToolError(static_cast<int>(status),
                        "programming the configuration failed: error " + std::to_string(status) + ": " +
                            StatusText(status),
                        StatusHint(status) + " " + recovery);
    }
    Say(globals, "Configuration programmed; the device restarts.");
    DeviceLocation running = FindRunningDevice(20);
    if (Interrupted()) {
        throw ToolError(21, "cancelled once the configuration was programmed (it could not be left half-written); "
                            "nothing was read back",
                        "The device runs with the new configuration." +
                            (backup.empty() ? std::string() : " The old one is saved in " + backup + "."));
    }
    if (options.verify) {
        VerifyRegion(globals, running.node, chip.device->configByteAddress, ReadFileBytes(image), "configuration",
                     progress);
    }
    return 0;
}

}  // namespace tool
