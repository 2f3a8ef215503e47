#include "stage.h"

namespace tool {
namespace {

// The library's window titles, byte for byte (its spelling included).
struct Title {
    Stage stage;
    const char* text;
};
constexpr Title kTitles[] = {
    {Stage::Preparing, "Preparing to upload..."},
    {Stage::EraseFlash, "Erasing flash..."},
    {Stage::UploadLoader, "Uploading bootstrap loader..."},
    {Stage::InitialiseLoader, "Initialising bootstrap loader..."},
    {Stage::Relocate, "Relocating device..."},
    {Stage::EraseInternal, "Erasing internal flash..."},
    {Stage::EraseFirmware, "Erasing firmware flash..."},
    {Stage::EraseConfig, "Erasing configuration flash..."},
    {Stage::UploadFirmware, "Uploading firmware..."},
    {Stage::UploadConfig, "Uploading configuration..."},
    {Stage::ResetDevice, "Reseting device processor..."},
    {Stage::ResetProcessor, "Reseting processor..."},
    {Stage::SwitchToUpload, "Switching to upload mode..."},
};

}  // namespace

Stage StageOfTitle(const std::string& title) {
    if (title.empty()) return Stage::None;
    for (const auto& entry : kTitles) {
        if (title == entry.text) return entry.stage;
    }
    return Stage::Other;
}

const char* TitleOf(Stage stage) {
    for (const auto& entry : kTitles) {
        if (entry.stage == stage) return entry.text;
    }
    switch (stage) {
    case Stage::EraseSector: return "Erasing...";
    case Stage::ReadFlash: return "Reading flash...";
    default: return "";
    }
}

std::string ShownTitle(Stage stage, const std::string& title) {
    switch (stage) {
    case Stage::ResetDevice: return "Resetting device processor...";
    case Stage::ResetProcessor: return "Resetting processor...";
    default: return title;
    }
}

bool IsErasing(Stage stage) {
    switch (stage) {
    case Stage::EraseFlash:
    case Stage::EraseInternal:
    case Stage::EraseFirmware:
    case Stage::EraseConfig:
    case Stage::EraseSector: return true;
    default: return false;
    }
}

bool IsUploading(Stage stage) {
    return stage == Stage::UploadLoader || stage == Stage::UploadFirmware ||
           stage == Stage::UploadConfig;
}

bool IsResetting(Stage stage) {
    return stage == Stage::ResetDevice || stage == Stage::ResetProcessor;
}

}  // namespace tool
