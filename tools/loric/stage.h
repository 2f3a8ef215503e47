// The steps of a job, as the progress display and the Ctrl-C messages know them. The library
// names its steps only in the title it writes into its progress window; StageOfTitle reads
// that title once, here, so that nothing else in the tool matches title texts.
#pragma once

#include <string>

namespace tool {

enum class Stage {
    None,   // no step yet
    Other,  // a step the tool does not know by name
    // The library's steps, in the order of its jobs.
    Preparing,         // "Preparing to upload..."
    EraseFlash,        // "Erasing flash..." (the flash port erase before the loader)
    UploadLoader,      // "Uploading bootstrap loader..."
    InitialiseLoader,  // "Initialising bootstrap loader..."
    Relocate,          // "Relocating device..."
    EraseInternal,     // "Erasing internal flash..."
    EraseFirmware,     // "Erasing firmware flash..."
    EraseConfig,       // "Erasing configuration flash..."
    UploadFirmware,    // "Uploading firmware..."
    UploadConfig,      // "Uploading configuration..."
    ResetDevice,       // "Reseting device processor..." (after firmware and configuration)
    ResetProcessor,    // "Reseting processor..." (after a configuration alone)
    // The tool's own steps; their titles carry what they work on.
    SwitchToUpload,  // "Switching to upload mode..."
    EraseSector,     // "Erasing sector 3 (word 0x010000)..."
    ReadFlash,  // "Reading flash...", "Reading back firmware...", "Saving the device's firmware..."
};

// The stage of a window title without its percentage ("Uploading firmware..."); Other for a
// title that is no step of the library's.
Stage StageOfTitle(const std::string& title);

// The title the library writes for one of its stages (for the tool's own stages, the plain
// form of the title).
const char* TitleOf(Stage stage);

// The title as the user reads it: the library's own, except where the tool words it better
// (its misspelt reset titles); the titles themselves stay as the library writes them.
std::string ShownTitle(Stage stage, const std::string& title);

// Stages that erase, and stages that write, the flash.
bool IsErasing(Stage stage);
bool IsUploading(Stage stage);
bool IsResetting(Stage stage);

}  // namespace tool
