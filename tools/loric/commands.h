// The tool's commands: one function per command, each taking the global options and its own
// options, and returning the exit code. main.cpp registers them from its table of commands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "errors.h"
#include "files.h"
#include "identity.h"
#include "job.h"
#include "text.h"

namespace tool {

// ---- Options, one structure per command -----------------------------------------------------

struct NodesOptions {
    bool blankOnly = false;  // --blank
};

struct ReadOptions {
    std::string reg;  // a register name, an offset or a 48-bit address
    int count = 1;
};

struct WriteOptions {
    std::string reg;
    std::string value;
};

struct ChipsOptions {
    std::string name;  // "": list them all
};

struct LoaderOptions {
    std::string loader;
    std::string eraseDelay;  // seconds as written; "": the chip family's erase time
    bool assumeBlank = false;
    bool noVerify = false;  // --no-verify: no read-back
    bool verify = false;    // --verify: the default, still accepted
    bool force = false;
};

struct ProgramOptions {
    std::string firmware;
    std::string config;
    std::string loader;
    std::string eraseDelay;  // as for program-loader
    std::string backup;
    bool noBackup = false;
    bool noVerify = false;
    bool verify = false;
    bool force = false;
    IdentityOptions identity;  // the EUI-64 the board keeps or gets
};

struct RestoreOptions {
    std::vector<std::string> files;  // firmware and configuration backups, in any order
    std::string loader;              // for a device that has become blank
    std::string eraseDelay;
    bool noVerify = false;
    bool verify = false;
    bool force = false;
    IdentityOptions identity;  // the EUI-64 the board keeps or gets
};

struct EraseOptions {
    std::string sector;  // exactly one of sector, address and all
    std::string address;
    bool all = false;
    bool flashPort = false;
};

struct TimestampOptions {};

struct DumpOptions {
    std::string address;
    std::string length;
    std::string out;  // "": a hex dump on standard output
};

struct VerifyOptions {
    std::string file;
    std::string address;  // "": 0
    bool firmware = false;
};

struct GenerateOptions {
    std::string description;
    std::string out;
};

struct ImportOptions {
    std::string file;
    std::string out;  // "" or "-": standard output
};

struct ShowOptions {
    std::string file;  // "": the device's configuration
    bool json = false;
};

struct DownloadOptions {
    std::string out;  // .json: as a description
};

struct UploadOptions {
    std::string file;
    std::string backup;
    bool noBackup = false;
    bool noErase = false;
    bool noVerify = false;
    bool verify = false;
    bool force = false;
    IdentityOptions identity;  // the EUI-64 the board keeps or gets
};

struct StationOptions {
    std::string file;  // the station file ("": none); its members under the options given here
    std::string loader, firmware, config;
    IdentityOptions identity;  // where each board's EUI-64 comes from
    int count = -1;            // boards to take before the run ends (-1: until Ctrl-C)
    bool skipUnchanged = false;
    bool noBackup = false;
};

// ---- Commands (cmd_device.cpp, cmd_program.cpp, cmd_flash.cpp, cmd_config.cpp) ---------------

int CmdNodes(const Globals& globals, const NodesOptions& options);
int CmdRead(const Globals& globals, const ReadOptions& options);
int CmdWrite(const Globals& globals, const WriteOptions& options);
int CmdChips(const Globals& globals, const ChipsOptions& options);

int CmdProgramLoader(const Globals& globals, const LoaderOptions& options);
int CmdProgram(const Globals& globals, const ProgramOptions& options);
int CmdErase(const Globals& globals, const EraseOptions& options);

// What `program` writes, read and checked before anything reaches the device: the images, and
// the configuration image (made from a description in a folder of its own).
class ProgramInputs {
public:
    explicit ProgramInputs(const ProgramOptions& options);
    // The images against the chip of `job`: their sizes, and what a loader or firmware needs.
    void Check(Job& job, const ProgramOptions& options) const;

    const std::vector<uint8_t> firmware, loader;

private:
    TempDir temp_;

public:
    const std::string configImage;
};

// The work of `program` on the device of `job`, from finding it to the read-back: the loader
// when the device is blank, the backups of a running one, the firmware and configuration with
// the id `identity` settles on.
int ProgramDevice(Job& job, const ProgramOptions& options, const ProgramInputs& inputs,
                  BoardIdentity& identity);

int CmdRestore(const Globals& globals, const RestoreOptions& options);

int CmdTimestamp(const Globals& globals, const TimestampOptions& options);
int CmdDump(const Globals& globals, const DumpOptions& options);
int CmdVerify(const Globals& globals, const VerifyOptions& options);

int CmdConfigGenerate(const Globals& globals, const GenerateOptions& options);
int CmdConfigImport(const Globals& globals, const ImportOptions& options);
int CmdConfigShow(const Globals& globals, const ShowOptions& options);
int CmdConfigDownload(const Globals& globals, const DownloadOptions& options);
int CmdConfigUpload(const Globals& globals, const UploadOptions& options);

int CmdStation(const Globals& globals, const StationOptions& options);  // cmd_station.cpp

// ---- Steps several commands take (cmd_common.cpp) --------------------------------------------

// ToolError(LORIC_ERR_FILE_OPEN) when the file cannot be used: missing, a folder, unreadable or
// empty.
void RequireFile(const std::string& path, const std::string& what);

// Turns a description into a configuration image at `out`.
void GenerateImage(const nlohmann::json& description, const std::string& out);

// The configuration to program: a JSON description is generated into `temp`; an image is
// checked first, so that a damaged file never reaches the flash.
std::string ConfigImageFor(const std::string& path, const TempDir& temp, bool force);

// A configuration image as its description (what `config import` writes).
nlohmann::ordered_json DescribeConfigImage(const std::string& image);

// Prints a line the user needs even with --quiet: the name of a file the tool saved for them.
void SayAlways(const std::string& line);

// Saves the device's configuration before it is replaced. Returns the file, or "" when the
// device holds none. `putBackOptions` go with the `config upload` that puts it back (the
// board's id, when the job gives it another: BoardIdentity::PutBackOptions).
std::string BackupConfiguration(Job& job, const std::string& requested,
                                const std::string& putBackOptions = {});

// The problems of a configuration image, one per line, at most four and a count of the rest.
std::string ProblemList(const std::vector<std::string>& problems);

// Reads `expected.size()` bytes back from `address` of the device and compares;
// ToolError(kExitVerifyFailed) when they differ. A job's read-back of what it wrote passes the
// `recovery` that puts the device right (the message then says the write did not land).
void VerifyRegion(Job& job, uint32_t address, const std::vector<uint8_t>& expected,
                  const std::string& what, const std::string& recovery = {});

}  // namespace tool
