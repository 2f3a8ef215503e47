// What one run of the tool did, kept as it happens: the command's results, the device and its
// identity, the images written, the backups taken, the steps with their durations, the read-back
// and the outcome. `--json` prints it as the one document on standard output; `--report FILE`
// appends it as one line of the job record. Commands fill it through Record(); nothing here
// prints.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace tool {

class JobRecord {
public:
    // Starts a new record for `command` ("program", "config upload"), stamped with the time now.
    void Begin(const std::string& command);

    // The command's own results: the "result" object of its --json document.
    nlohmann::json& result() { return doc_["result"]; }

    // The target: "driver", "serial", "firewire" or "sim", and its port or folder ("" if none).
    void SetLink(const std::string& link, const std::string& port);
    // The device found, its node and state as the tool names them ("running", "loader",
    // "upload", "blank").
    void SetDevice(uint16_t node, const std::string& state);
    // The board's EUI-64 before the job and after it ("" when it had none).
    void SetIdentityBefore(const std::string& eui64);
    void SetIdentityAfter(const std::string& eui64);
    void SetChip(const std::string& name);
    // An image the job wrote to the device ("loader", "firmware", "configuration"); its SHA-256
    // is taken from the file now.
    void AddImage(const std::string& role, const std::string& path);
    // The same, for an image written from `written`, made from `path` (a description).
    void AddImage(const std::string& role, const std::string& path, const std::string& written);
    // A read-back of `size` bytes at `address`: whether they matched, and where the first
    // difference lies (its byte address) when they did not; kept in "readback", in order.
    void AddReadBack(const std::string& what, uint32_t address, uint64_t size, bool match,
                     uint64_t differences, uint64_t firstDifference);
    void AddBackup(const std::string& path);
    // A step of the job and how long it took, in the order they ran.
    void AddStep(const std::string& name, double seconds);
    // The read-back: "passed", "failed" or "skipped".
    void SetVerify(const std::string& outcome);

    // The outcome, set once when the command ends: exit code 0, or the failure's code, message
    // and hint; stamps the end time.
    void End(int exitCode, const std::string& message = {}, const std::string& hint = {});

    // Where and with what the job ran: the tool's and the library's versions and the host's name.
    void SetOrigin(const std::string& tool, const std::string& library, const std::string& host);
    // The trace log this job's trace went to (--log).
    void SetLog(const std::string& path);

    const nlohmann::json& doc() const { return doc_; }
    nlohmann::json& doc() { return doc_; }

private:
    nlohmann::json doc_ = nlohmann::json::object();
};

// The record of this run of the tool.
JobRecord& Record();

// "0x0011223344556677": how the record and the tool's messages write an EUI-64.
std::string Eui64Text(uint64_t eui64);

// Appends `record` as one line to the job record `path` (JSON Lines): one write of the whole
// line to a file opened for appending, so that jobs of several tools interleave by whole lines
// and a killed tool leaves whole lines only. ToolError(LORIC_ERR_FILE_OPEN or _IO) on failure.
void AppendReport(const std::string& path, const JobRecord& record);

// The tool's version ("1.0", as `loric --version` prints it) and the library's build version.
const char* ToolVersion();
const char* LibraryVersion();
// "0x000400": how the record writes an address (at least six hex digits).
std::string HexText(uint64_t value);
// The name of this computer ("" when it cannot be had).
std::string HostName();
// The time now, as the record writes it ("2026-12-07T06:30:00.123Z").
std::string RecordTime();

// The SHA-256 of a file, in lower-case hex; "" when it cannot be read.
std::string FileSha256(const std::string& path);

}  // namespace tool
