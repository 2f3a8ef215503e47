// The board's identity: the EUI-64 (node_vendor_id, chip_id_hi, chip_id_lo) in its
// configuration, which the host uses to tell disks apart. A board keeps its own unless the user
// gives it one: explicitly, from a counter file or from a list.
//
// A counter file is JSON: {"next": "0x0000000100", "last": "0x00000001FF", "step": 1}, the 40-bit
// unit part (chip_id_hi and chip_id_lo) as hex strings. Taking an id locks FILE.lock beside it,
// advances "next" and writes the file back (a new file, flushed, renamed over the old one) before
// the id is used: an id is never handed out twice, by one tool or by several sharing the file.
// An id whose board failed is added to the file's "spent" array: {"id", "time", "reason"}.
//
// A list file holds one id a line (16 hex digits: the whole EUI-64; 10: the unit part; "0x"
// optional; a comment, from '#', on a line of its own). Taking one marks its line " used TIME";
// when the board fails the mark becomes " spent TIME". A marked line is never handed out again.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tool {

class Job;
class TempDir;

// Where a new identity comes from; all empty: the board keeps its own (a blank board takes the
// description's).
struct IdentityOptions {
    std::string guid;     // --guid: a full EUI-64, or the 40-bit unit part
    std::string counter;  // --guid-counter: the counter file
    std::string list;     // --guid-list: the list file
};

inline constexpr uint64_t kUnitMask = 0xFFFFFFFFFFull;  // chip_id_hi and chip_id_lo

// An id as given: the unit part always, the vendor when the whole EUI-64 was given (otherwise
// the configuration written supplies it).
struct GivenId {
    uint64_t unit = 0;
    std::optional<uint32_t> vendor;
    std::string source;  // "guid", "counter" or "list"

    // The whole EUI-64, with `vendor` when the id carries none.
    uint64_t WithVendor(uint32_t fallback) const {
        return (uint64_t{vendor.value_or(fallback) & 0xFFFFFF} << 40) | unit;
    }
};

// "0x0011223344556677" (16 digits) or "0x1122334455" (10 digits, the unit part), "0x" optional;
// ToolError(kExitUsage) naming `what` otherwise.
GivenId ParseGuid(const std::string& text, const std::string& what);

// The ids a production run hands out, one a board.
class IdentitySource {
public:
    // The source the options name; nullptr when none does. ToolError(kExitUsage) when more than
    // one is given or --guid is not an id; a counter or list file that cannot be used is refused
    // here (ToolError: LORIC_ERR_FILE_OPEN, or LORIC_ERR_INVALID_PARAMETER with what is wrong),
    // before anything reaches a device.
    static std::unique_ptr<IdentitySource> Open(const IdentityOptions& options);
    virtual ~IdentitySource() = default;

    // The next id, already recorded as taken in its file. ToolError(LORIC_ERR_INVALID_PARAMETER)
    // when the counter is past "last" or the list has none left: the board is then untouched.
    virtual GivenId Take() = 0;
    // The board that got `id` failed: the id stays used and is recorded as spent, with `reason`.
    // Never throws (the job's own failure is what the user must see); false when it could not
    // be recorded.
    virtual bool MarkSpent(const GivenId& id, const std::string& reason) = 0;
    // "--guid-counter ids.json": how messages name the source.
    virtual std::string Name() const = 0;
};

// The EUI-64 in a configuration image's bus information block; nullopt when the image is too
// short to hold one.
std::optional<uint64_t> ImageEui64(const std::vector<uint8_t>& image);
// Writes `eui64` into the image's bus information block and computes the block's CRC anew;
// false when the image is too short to hold one.
bool StampEui64(std::vector<uint8_t>& image, uint64_t eui64);

// The id one job leaves on its board. Made before the job reaches the device (a source that
// cannot be used is refused then); Settle decides the id once the device is found, before
// anything on it changes: the one given (--guid, the next from the counter or the list), else the
// board's own, else (a board without one) the configuration's, and says which. A job that takes
// an id from a source and does not reach Done leaves it recorded as spent.
class BoardIdentity {
public:
    explicit BoardIdentity(const IdentityOptions& options);
    // One board of a run that takes its ids from `source` (nullptr: the board keeps its own).
    explicit BoardIdentity(std::shared_ptr<IdentitySource> source) : source_(std::move(source)) {}
    ~BoardIdentity();
    BoardIdentity(const BoardIdentity&) = delete;
    BoardIdentity& operator=(const BoardIdentity&) = delete;

    // Whether an option gives the board an id.
    bool given() const { return source_ != nullptr; }
    // The configuration image to write instead of `image`: `image` itself when it carries the
    // id already, else a copy in `temp` with the id written in. Records the id before the job.
    std::string Settle(Job& job, const std::string& image, const TempDir& temp);
    // The job is done: the board holds the id; the record and the result say so.
    void Done();
    // " --guid 0x...": what puts the board's own id back with its backup, when the job gives it
    // another (a restore or an upload keeps the id the board has by then); "" otherwise.
    std::string PutBackOptions() const;

private:
    std::shared_ptr<IdentitySource> source_;
    std::optional<GivenId> taken_;
    uint64_t eui64_ = 0;
    std::optional<uint64_t> before_;
    std::string from_;  // "guid", "counter", "list", "board" or "configuration"
    bool settled_ = false, done_ = false;
};

}  // namespace tool
