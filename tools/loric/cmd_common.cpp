// Steps several commands take: the configuration to program, its backup, the read-back.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "backup.h"
#include "checks.h"
#include "commands.h"
#include "config_json.h"
#include "dump.h"
#include "errors.h"
#include "read_window.h"
#include "record.h"
#include "rom_decode.h"

namespace tool {
namespace {

bool LooksLikeJson(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char c;
    while (in.get(c)) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        return c == '{';
    }
    return false;
}

}  // namespace

void RequireFile(const std::string& path, const std::string& what) { ReadInputFile(path, what); }

void GenerateImage(const nlohmann::json& description, const std::string& out) {
    CONFIG_FILE_INFO info = ParseConfigDescription(description);
    for (const auto& note : DescriptionNotes(info))
        std::fprintf(stderr, "loric: note: %s\n", note.c_str());
    Check(GenerateConfigurationFile(&info, out.c_str()),
          "generating the configuration file " + out);
}

std::string ConfigImageFor(const std::string& path, const TempDir& temp, bool force) {
    RequireFile(path, "configuration file");
    if (LooksLikeJson(path)) {
        std::string image = temp.file("config.bin");
        GenerateImage(LoadDescriptionFile(path), image);
        return image;
    }
    RomReport report = DecodeConfigImage(ReadFileBytes(path));
    if (!report.valid && !force) {
        throw ToolError(
            LORIC_ERR_CONFIG_IMPORT,
            path + " is not a valid configuration image:" + ProblemList(report.problems),
            "`loric config show " + path + "` shows it decoded; --force programs it anyway.");
    }
    return path;
}

void SayAlways(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string BackupConfiguration(Job& job, const std::string& requested,
                                const std::string& putBackOptions) {
    // Read twice into a folder of the tool's own, compared, decoded, and only then saved.
    TempDir temp;
    const std::string reads[2] = {temp.file("config-1.bin"), temp.file("config-2.bin")};
    Progress& progress = job.progress();
    for (int i = 0; i < 2; ++i) {
        uint32_t status = DownloadConfigurationFile(job.node(), &job.chip(), reads[i].c_str(),
                                                    i == 0 ? progress.window() : nullptr);
        if (i == 0) progress.Finish();
        if (status == LORIC_ERR_CONFIG_DOWNLOAD && i == 0) {
            job.Say("The device holds no configuration yet: nothing to back up.");
            return {};
        }
        if (status != 0) {
            throw LibraryFailure(status, "saving the device's configuration",
                                 "To go on without a backup, add --no-backup.");
        }
    }
    const std::vector<uint8_t> bytes = ReadFileBytes(reads[0]);
    const std::string path = requested.empty() ? BackupName("config", "") : requested;
    const Comparison comparison = Compare(bytes, ReadFileBytes(reads[1]));
    if (!comparison.same) {
        RejectBackup(path, bytes,
                     "the configuration read differently the second time: " +
                         Describe(comparison, job.chip().configByteAddress));
    }
    const RomReport report = DecodeConfigImage(bytes);
    if (!report.valid || report.crcFailed != 0) {
        RejectBackup(path, bytes,
                     "it does not decode as a configuration:" + ProblemList(report.problems));
    }
    WriteBackupFile(path, bytes);
    SayAlways("Saved the device's configuration to " + path +
              " (put it back with `loric config upload " + path + putBackOptions + "`).");
    return path;
}

std::string ProblemList(const std::vector<std::string>& problems) {
    constexpr size_t kShown = 4;
    std::string text;
    for (size_t i = 0; i < problems.size() && i < kShown; ++i) text += "\n  " + problems[i];
    if (problems.size() > kShown)
        text += "\n  and " + std::to_string(problems.size() - kShown) + " more";
    return text;
}

void VerifyRegion(Job& job, uint32_t address, const std::vector<uint8_t>& expected,
                  const std::string& what, const std::string& recovery) {
    std::vector<uint8_t> actual =
        ReadFlash(job.node(), address, static_cast<uint32_t>(expected.size()), &job.progress(),
                  "Reading back " + what + "...");
    Comparison comparison = Compare(expected, actual);
    Record().AddReadBack(what, address, expected.size(), comparison.same, comparison.differences,
                         address + comparison.first);
    Record().SetVerify(comparison.same ? "passed" : "failed");
    if (!comparison.same && !recovery.empty()) {
        throw ToolError(
            kExitVerifyFailed,
            "the " + what + " did not reach the flash as written: " + Describe(comparison, address),
            "Check that --chip names the flash chip on the board. " + recovery);
    }
    if (!comparison.same) {
        throw ToolError(kExitVerifyFailed,
                        "verification of the " + what + " failed: " + Describe(comparison, address),
                        "Program it again; if it keeps failing, check that --chip names the flash "
                        "chip on the board.");
    }
    job.Say("Verified the " + what + ": " + std::to_string(expected.size()) + " bytes at " +
            Hex(address, 6) + " match.");
}

}  // namespace tool
