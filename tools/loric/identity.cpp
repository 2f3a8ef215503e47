#include "identity.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include <nlohmann/json.hpp>

#include "../../src/platform/bytes.h"
#include "device_facts.h"
#include "errors.h"
#include "exit_codes.h"
#include "files.h"
#include "job.h"
#include "record.h"
#include "rom_decode.h"
#include "text.h"

namespace tool {
namespace {

// The hex digits of an id, without "0x"; false when there are none or a character is not one.
bool HexDigits(const std::string& text, std::string* digits) {
    *digits = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')
                  ? text.substr(2)
                  : text;
    if (digits->empty()) return false;
    for (char c : *digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// An id of 16 or 10 hex digits; nullopt otherwise.
std::optional<GivenId> ReadId(const std::string& text) {
    std::string digits;
    if (!HexDigits(text, &digits) || (digits.size() != 16 && digits.size() != 10)) return {};
    const uint64_t value = std::stoull(digits, nullptr, 16);
    GivenId id;
    id.unit = value & kUnitMask;
    if (digits.size() == 16) id.vendor = static_cast<uint32_t>(value >> 40);
    return id;
}

std::string ReadText(const std::string& path);

// Where the configuration ROM starts in an image (after its header), and the bus information
// block's quadlets that hold the id.
constexpr size_t kRomByte = 104;
constexpr size_t kIdHighQuadlet = 3;  // node_vendor_id, chip_id_hi
constexpr size_t kIdLowQuadlet = 4;   // chip_id_lo

uint32_t RomQuadlet(const std::vector<uint8_t>& image, size_t index) {
    return loric::bytes::LoadLittleEndian32(&image[kRomByte + 4 * index]);
}

// The id the running board shows in its configuration ROM; nullopt when it shows none (not
// running its firmware, or an unset id).
std::optional<uint64_t> BoardEui64(const Job& job) {
    const DeviceState state = job.device().state;
    if (state != DeviceState::Firmware && state != DeviceState::Upload) return {};
    uint32_t high = 0, low = 0;
    if (ReadQuadlet(job.node(), kRegisterHigh, kConfigRom + 4 * kIdHighQuadlet, &high) != 0 ||
        ReadQuadlet(job.node(), kRegisterHigh, kConfigRom + 4 * kIdLowQuadlet, &low) != 0)
        return {};
    const uint64_t eui64 = (uint64_t{high} << 32) | low;
    if (eui64 == 0 || eui64 == ~uint64_t{0}) return {};
    return eui64;
}

// When the job record shows `eui64` given to a board already: the time of that job.
std::string GivenBefore(const std::string& report, const std::string& eui64) {
    if (report.empty() || FileSize(report) == 0) return {};
    std::istringstream lines(ReadText(report));
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json job = nlohmann::json::parse(line, nullptr, false);
        if (job.is_object() && job.value("eui64_after", "") == eui64 &&
            job.value("exit_code", -1) == 0)
            return job.value("start", "an earlier job");
    }
    return {};
}

// Held while a counter or list file is read and written back: an exclusive lock on FILE.lock
// beside it (not on the file itself, which each taker replaces). The lock file stays.
class FileLock {
public:
    explicit FileLock(const std::string& path) {
        const std::string lock = path + ".lock";
#if defined(_WIN32)
        fd_ = _open(lock.c_str(), _O_RDWR | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
        OVERLAPPED at{};
        if (fd_ >= 0 && !LockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd_)),
                                    LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
            _close(fd_);
            fd_ = -1;
        }
#else
        fd_ = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        while (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0) {
            if (errno == EINTR) continue;
            close(fd_);
            fd_ = -1;
        }
#endif
        if (fd_ < 0) {
            throw ToolError(LORIC_ERR_FILE_OPEN,
                            "cannot lock " + lock + ": " + std::strerror(errno),
                            "Check that the folder of " + path + " can be written.");
        }
    }
    ~FileLock() {
#if defined(_WIN32)
        _close(fd_);  // closing lets the lock go
#else
        close(fd_);
#endif
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

std::string ReadText(const std::string& path) {
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

void WriteText(const std::string& path, const std::string& text) {
    ReplaceFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

// --guid-counter FILE.
class CounterSource : public IdentitySource {
public:
    explicit CounterSource(std::string path) : path_(std::move(path)) {
        Counter counter = Load();
        Check(counter);
    }

    GivenId Take() override {
        FileLock lock(path_);
        Counter counter = Load();
        Check(counter);
        GivenId id;
        id.unit = counter.next;
        id.source = "counter";
        counter.doc["next"] = Hex(counter.next + counter.step, 10);
        WriteText(path_, counter.doc.dump(2) + "\n");
        return id;
    }

    bool MarkSpent(const GivenId& id, const std::string& reason) override {
        try {
            FileLock lock(path_);
            Counter counter = Load();
            counter.doc["spent"].push_back(
                {{"id", Hex(id.unit, 10)}, {"time", RecordTime()}, {"reason", reason}});
            WriteText(path_, counter.doc.dump(2) + "\n");
            return true;
        } catch (const ToolError&) {
            return false;
        }
    }

    std::string Name() const override { return "--guid-counter " + path_; }

private:
    struct Counter {
        nlohmann::ordered_json doc;
        uint64_t next = 0, last = 0, step = 1;
    };

    ToolError Malformed(const std::string& what) const {
        return ToolError(LORIC_ERR_INVALID_PARAMETER,
                         "--guid-counter: " + path_ + " is not a counter file: " + what,
                         "A counter file reads {\"next\": \"0x0000000100\", \"last\": "
                         "\"0x00000001FF\", \"step\": 1} (10 hex digits: chip_id_hi and "
                         "chip_id_lo). Nothing on the device was changed.");
    }

    // "next" may stand one step past the last id there is (0xFFFFFFFFFF), so 41 bits.
    uint64_t UnitField(const nlohmann::ordered_json& doc, const char* key, size_t digits) const {
        const auto field = doc.find(key);
        if (field == doc.end() || !field->is_string())
            throw Malformed(std::string("\"") + key + "\" is missing or not a string");
        const std::string text = field->get<std::string>();
        std::string hex;
        const uint64_t limit = digits > 10 ? 2 * kUnitMask : kUnitMask;
        if (!HexDigits(text, &hex) || hex.size() > 16 || std::stoull(hex, nullptr, 16) > limit)
            throw Malformed(std::string("\"") + key + "\" is \"" + text +
                            "\", not a 40-bit hex number");
        return std::stoull(hex, nullptr, 16);
    }

    Counter Load() const {
        Counter counter;
        try {
            counter.doc = nlohmann::ordered_json::parse(ReadText(path_));
        } catch (const nlohmann::json::exception& error) {
            throw Malformed(std::string("it is not JSON (") + error.what() + ")");
        }
        if (!counter.doc.is_object()) throw Malformed("it is not a JSON object");
        counter.next = UnitField(counter.doc, "next", 11);
        counter.last = UnitField(counter.doc, "last", 10);
        const auto step = counter.doc.find("step");
        if (step != counter.doc.end()) {
            if (!step->is_number_unsigned() || step->get<uint64_t>() == 0 ||
                step->get<uint64_t>() > kUnitMask)
                throw Malformed("\"step\" must be a whole number from 1 to 0xFFFFFFFFFF");
            counter.step = step->get<uint64_t>();
        }
        const auto spent = counter.doc.find("spent");
        if (spent != counter.doc.end() && !spent->is_array())
            throw Malformed("\"spent\" is not an array");
        if (spent == counter.doc.end()) counter.doc["spent"] = nlohmann::ordered_json::array();
        return counter;
    }

    void Check(const Counter& counter) const {
        if (counter.next <= counter.last) return;
        throw ToolError(LORIC_ERR_INVALID_PARAMETER,
                        "--guid-counter: " + path_ + " is used up: next " + Hex(counter.next, 10) +
                            " is past last " + Hex(counter.last, 10),
                        "Give the counter a new range of ids. Nothing on the device was changed.");
    }

    std::string path_;
};

// --guid-list FILE.
class ListSource : public IdentitySource {
public:
    explicit ListSource(std::string path) : path_(std::move(path)) {
        if (Next(Load()) < 0) throw UsedUp();
    }

    GivenId Take() override {
        FileLock lock(path_);
        std::vector<Line> lines = Load();
        const int at = Next(lines);
        if (at < 0) throw UsedUp();
        lines[at].mark = "used " + RecordTime();
        Save(lines);
        GivenId id = lines[at].id;
        id.source = "list";
        return id;
    }

    bool MarkSpent(const GivenId& id, const std::string&) override {
        try {
            FileLock lock(path_);
            std::vector<Line> lines = Load();
            for (Line& line : lines) {
                if (line.isId && line.id.unit == id.unit && line.id.vendor == id.vendor &&
                    line.mark.rfind("used ", 0) == 0) {
                    line.mark = "spent " + RecordTime();
                    Save(lines);
                    return true;
                }
            }
        } catch (const ToolError&) {
        }
        return false;
    }

    std::string Name() const override { return "--guid-list " + path_; }

private:
    struct Line {
        std::string text;  // the line as read, up to its mark
        bool isId = false;
        GivenId id;
        std::string mark;  // "used TIME", "spent TIME" or ""
    };

    ToolError UsedUp() const {
        return ToolError(LORIC_ERR_INVALID_PARAMETER,
                         "--guid-list: every id of " + path_ + " is used",
                         "Add ids to the list. Nothing on the device was changed.");
    }

    std::vector<Line> Load() const {
        std::vector<Line> lines;
        std::istringstream text(ReadText(path_));
        int number = 0;
        for (std::string raw; std::getline(text, raw);) {
            ++number;
            if (!raw.empty() && raw.back() == '\r') raw.pop_back();
            Line line;
            line.text = raw;
            std::istringstream words(raw.substr(0, raw.find('#')));
            std::string word, mark, time, extra;
            if (words >> word) {
                const std::optional<GivenId> id = ReadId(word);
                words >> mark >> time >> extra;
                if (!id || (!mark.empty() && ((mark != "used" && mark != "spent") || time.empty() ||
                                              !extra.empty()))) {
                    throw ToolError(LORIC_ERR_INVALID_PARAMETER,
                                    "--guid-list: line " + std::to_string(number) + " of " + path_ +
                                        " is not an id: \"" + raw + "\"",
                                    "One id a line: 16 hex digits (the EUI-64) or 10 (chip_id_hi "
                                    "and chip_id_lo). Nothing on the device was changed.");
                }
                line.isId = true;
                line.id = *id;
                line.text = word;
                if (!mark.empty()) line.mark = mark + " " + time;
            }
            lines.push_back(line);
        }
        return lines;
    }

    void Save(const std::vector<Line>& lines) const {
        std::string text;
        for (const Line& line : lines)
            text += line.text + (line.mark.empty() ? "" : " " + line.mark) + "\n";
        WriteText(path_, text);
    }

    static int Next(const std::vector<Line>& lines) {
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].isId && lines[i].mark.empty()) return static_cast<int>(i);
        }
        return -1;
    }

    std::string path_;
};

// --guid 0x...: one id, for one board.
class FixedSource : public IdentitySource {
public:
    explicit FixedSource(GivenId id) : id_(std::move(id)) {}
    GivenId Take() override { return id_; }
    bool MarkSpent(const GivenId&, const std::string&) override { return true; }
    std::string Name() const override { return "--guid"; }

private:
    GivenId id_;
};

}  // namespace

std::optional<uint64_t> ImageEui64(const std::vector<uint8_t>& image) {
    if (image.size() < kRomByte + 4 * (kIdLowQuadlet + 1)) return {};
    return (uint64_t{RomQuadlet(image, kIdHighQuadlet)} << 32) | RomQuadlet(image, kIdLowQuadlet);
}

bool StampEui64(std::vector<uint8_t>& image, uint64_t eui64) {
    if (!ImageEui64(image)) return false;
    const uint32_t header = RomQuadlet(image, 0);
    const size_t crcLength = (header >> 16) & 0xFF;
    if (image.size() < kRomByte + 4 * (crcLength + 1) || crcLength <= kIdLowQuadlet) return false;
    loric::bytes::StoreLittleEndian32(&image[kRomByte + 4 * kIdHighQuadlet],
                                      static_cast<uint32_t>(eui64 >> 32));
    loric::bytes::StoreLittleEndian32(&image[kRomByte + 4 * kIdLowQuadlet],
                                      static_cast<uint32_t>(eui64));
    std::vector<uint32_t> covered(crcLength);
    for (size_t i = 0; i < crcLength; ++i) covered[i] = RomQuadlet(image, i + 1);
    loric::bytes::StoreLittleEndian32(
        &image[kRomByte], (header & 0xFFFF0000u) | RomCrc(covered.data(), covered.size()));
    return true;
}

BoardIdentity::BoardIdentity(const IdentityOptions& options)
    : source_(IdentitySource::Open(options)) {}

BoardIdentity::~BoardIdentity() {
    if (!taken_ || done_ || taken_->source == "guid") return;
    Record().doc()["eui64_spent"] = Eui64Text(eui64_);
    if (!source_->MarkSpent(*taken_, "the job failed; its record has the reason")) {
        std::fprintf(stderr, "loric: could not record %s as spent in %s; it is not used again\n",
                     Eui64Text(eui64_).c_str(), source_->Name().c_str());
    }
}

std::string BoardIdentity::Settle(Job& job, const std::string& image, const TempDir& temp) {
    const std::optional<uint64_t> before = before_ = BoardEui64(job);
    Record().SetIdentityBefore(before ? Eui64Text(*before) : "");
    std::vector<uint8_t> bytes = ReadFileBytes(image);
    const std::optional<uint64_t> own = ImageEui64(bytes);
    if (!own) {
        throw ToolError(LORIC_ERR_CONFIG_IMPORT,
                        image + " is too short to be a configuration image: it holds no EUI-64",
                        "`loric config show " + image + "` shows it decoded.");
    }
    settled_ = true;
    if (source_) {
        taken_ = source_->Take();
        eui64_ = taken_->WithVendor(static_cast<uint32_t>(*own >> 40));
        from_ = taken_->source;
        job.Say("Board gets EUI-64 " + Eui64Text(eui64_) + " (" + source_->Name() + ").");
    } else if (before) {
        eui64_ = *before;
        from_ = "board";
        job.Say("Board keeps its EUI-64 " + Eui64Text(eui64_) + ".");
    } else {
        eui64_ = *own;
        from_ = "configuration";
        job.Say("Board gets EUI-64 " + Eui64Text(eui64_) + ", the configuration's own.");
        const std::string when = GivenBefore(job.globals().report, Eui64Text(eui64_));
        if (!when.empty()) {
            std::fprintf(stderr,
                         "loric: warning: the job record %s shows EUI-64 %s given to a board "
                         "already (job of %s): two boards with one id are one disk to the host. "
                         "Give each its own with --guid, --guid-counter or --guid-list.\n",
                         job.globals().report.c_str(), Eui64Text(eui64_).c_str(), when.c_str());
        }
    }
    if (eui64_ == *own) return image;
    const std::string stamped = temp.file("config-eui64.bin");
    if (!StampEui64(bytes, eui64_)) {
        throw ToolError(LORIC_ERR_CONFIG_IMPORT,
                        image + ": its configuration ROM is too short to carry an EUI-64",
                        "`loric config show " + image + "` shows it decoded.");
    }
    WriteFileBytes(stamped, bytes);
    return stamped;
}

std::string BoardIdentity::PutBackOptions() const {
    if (!before_ || *before_ == eui64_) return {};
    return " --guid " + Eui64Text(*before_);
}

void BoardIdentity::Done() {
    done_ = true;
    if (!settled_) return;
    Record().SetIdentityAfter(Eui64Text(eui64_));
    Record().result()["eui64"] = Eui64Text(eui64_);
    Record().result()["eui64_source"] = from_;
}

GivenId ParseGuid(const std::string& text, const std::string& what) {
    std::optional<GivenId> id = ReadId(text);
    if (!id) {
        throw ToolError(kExitUsage, what + ": \"" + text + "\" is not an id",
                        "Give 16 hex digits (the EUI-64: node_vendor_id, chip_id_hi, chip_id_lo) "
                        "or 10 (chip_id_hi and chip_id_lo), such as 0x00C0DE0000010203.");
    }
    return *id;
}

std::unique_ptr<IdentitySource> IdentitySource::Open(const IdentityOptions& options) {
    const int given = !options.guid.empty() + !options.counter.empty() + !options.list.empty();
    if (given > 1) {
        throw ToolError(kExitUsage, "give only one of --guid, --guid-counter and --guid-list");
    }
    if (!options.guid.empty()) {
        GivenId id = ParseGuid(options.guid, "--guid");
        id.source = "guid";
        return std::make_unique<FixedSource>(id);
    }
    if (!options.counter.empty()) return std::make_unique<CounterSource>(options.counter);
    if (!options.list.empty()) return std::make_unique<ListSource>(options.list);
    return nullptr;
}

}  // namespace tool
