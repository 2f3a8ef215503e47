// Windows host check of the serial link in loric.dll: a COM port that Wine maps to the
// simulator's serial adapter (set up by serial_host.sh), a device running firmware behind it.
//   wine_serial_host.exe <COM port> <flash data file> <device name> <installed configuration>
// It opens the API over the port, finds the device, reads and writes registers, downloads the
// installed configuration, uploads one generated from the fixed record and reads it back.
// Without arguments it checks the failed opens only.
#include <windows.h>

#include <cstring>
#include <vector>

#include "configrom_record.h"
#include "loric.h"
#include "wine_check.h"

using wine_check::Expect;
using wine_check::ExpectStdcall;
using wine_check::Word;

namespace {

static_assert(sizeof(FLASH_DEVICE) == 6280, "FLASH_DEVICE stride");

FLASH_DEVICE g_devices[LORIC_MAX_FLASH_DEVICES];
CONFIG_FILE_INFO g_record;

}  // namespace

int main(int argc, char** argv) {
    HMODULE dll = wine_check::LoadLibraryUnderTest();
    auto resolve = [&](const char* name) { return reinterpret_cast<const void*>(wine_check::Resolve(dll, name)); };
    const void* openComApi = resolve("OpenComAPI");
    const void* closeLoric = resolve("CloseLORIC");
    const void* readQuadlet = resolve("ReadQuadlet");
    const void* writeQuadlet = resolve("WriteQuadlet");
    const void* findNode = resolve("FindNode");
    const void* loadFlashData = resolve("LoadFlashData");
    const void* generate = resolve("GenerateConfigurationFile");
    const void* upload = resolve("UploadConfigurationFile");
    const void* download = resolve("DownloadConfigurationFile");
    if (!openComApi || !closeLoric || !readQuadlet || !writeQuadlet || !findNode || !loadFlashData || !generate ||
        !upload || !download)
        return wine_check::Finish();

    // A port that is not there, and no port name at all: status 1, the API stays closed.
    Expect(ExpectStdcall("OpenComAPI", openComApi, {Word("COM219"), 0}).value == 1, "OpenComAPI(COM219)");
    Expect(ExpectStdcall("OpenComAPI", openComApi, {Word(nullptr), 0}).value == 1, "OpenComAPI(null)");
    uint32_t value = 0;
    Expect(ExpectStdcall("ReadQuadlet", readQuadlet, {0xFFC0, 0xFFFF, 0xF0090014, Word(&value)}).value == 3,
           "ReadQuadlet while closed");

    if (argc < 5) {
        wine_check::Skip("serial checks: no COM port given");
        FreeLibrary(dll);
        return wine_check::Finish();
    }
    const char* port = argv[1];
    if (!Expect(ExpectStdcall("OpenComAPI", openComApi, {Word(port), 0}).value == 0, "OpenComAPI(%s)", port))
        return wine_check::Finish();
    Expect(ExpectStdcall("OpenComAPI", openComApi, {Word(port), 0}).value == 1, "second OpenComAPI");

    uint16_t node = 0;
    uint32_t blank = 0;
    Expect(ExpectStdcall("FindNode", findNode, {Word(&node), Word(&blank)}).value == 0, "FindNode");
    Expect(blank == 0, "the running device was found as blank");

    // Registers: the read window at flash byte 0 shows the firmware's signature "TQ64" (its
    // first little-endian word); the loader's ready word is not there while firmware runs.
    Expect(ExpectStdcall("WriteQuadlet", writeQuadlet, {node, 0xFFFF, 0xF0090014, 0}).value == 0,
           "WriteQuadlet FLASH_READ_CTRL");
    Expect(ExpectStdcall("ReadQuadlet", readQuadlet, {node, 0xFFFF, 0xF0090014, Word(&value)}).value == 0,
           "ReadQuadlet FLASH_READ_CTRL");
    Expect(value == 0x34365154, "flash word 0 reads %08X, expected 34365154", value);
    Expect(ExpectStdcall("ReadQuadlet", readQuadlet, {node, 0xFFFF, 0xF0090008, Word(&value)}).value == 0,
           "ReadQuadlet FLASH_UPLOAD_CTRL");
    Expect(value != 0x414F6B21, "FLASH_UPLOAD_CTRL reads UPLOADER_READY on running firmware");
    // A register the device does not have: the adapter refuses, status 9.
    Expect(ExpectStdcall("ReadQuadlet", readQuadlet, {node, 0xFFFF, 0xF00900F0, Word(&value)}).value == 9,
           "ReadQuadlet of a missing register");

    uint32_t count = 0;
    Expect(ExpectStdcall("LoadFlashData", loadFlashData, {Word(argv[2]), Word(g_devices), Word(&count)}).value == 0,
           "LoadFlashData(%s)", argv[2]);
    FLASH_DEVICE* device = nullptr;
    for (uint32_t i = 0; i < count && i < LORIC_MAX_FLASH_DEVICES; ++i)
        if (std::strcmp(g_devices[i].deviceName, argv[3]) == 0) device = &g_devices[i];
    if (!Expect(device != nullptr, "no record %s in %s", argv[3], argv[2])) return wine_check::Finish();

    // The configuration installed with the firmware comes back as it was installed.
    Expect(ExpectStdcall("DownloadConfigurationFile", download, {node, Word(device), Word("installed.bin"), 0}).value ==
               0,
           "DownloadConfigurationFile");
    wine_check::ExpectSameFile("installed.bin", argv[4]);

    // A configuration generated from the fixed record goes up and comes back byte for byte.
    Expect(wine_check::WriteText("datapage.dat", wine_reference::kDataPage), "cannot write datapage.dat");
    g_record = wine_reference::Record();
    Expect(ExpectStdcall("GenerateConfigurationFile", generate, {Word(&g_record), Word("generated.bin")}).value == 0,
           "GenerateConfigurationFile");
    Expect(ExpectStdcall("UploadConfigurationFile", upload, {node, Word(device), Word("generated.bin"), 1, 0, 0})
                   .value == 0,
           "UploadConfigurationFile");
    // The processor reset after the upload may move the device: find it again.
    node = 0;
    blank = 0;
    Expect(ExpectStdcall("FindNode", findNode, {Word(&node), Word(&blank)}).value == 0, "FindNode after the upload");
    Expect(ExpectStdcall("DownloadConfigurationFile", download, {node, Word(device), Word("back.bin"), 0}).value == 0,
           "DownloadConfigurationFile after the upload");
    wine_check::ExpectSameFile("back.bin", "generated.bin");

    Expect(ExpectStdcall("CloseLORIC", closeLoric, {}).value == 0, "CloseLORIC");
    Expect(ExpectStdcall("ReadQuadlet", readQuadlet, {node, 0xFFFF, 0xF0090014, Word(&value)}).value == 3,
           "ReadQuadlet after CloseLORIC");
    FreeLibrary(dll);
    return wine_check::Finish();
}
