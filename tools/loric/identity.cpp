#include "identity.h"

#include <cctype>
#include <cerrno>
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

#include "errors.h"
#include "exit_codes.h"
#include "files.h"
#include "record.h"
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

// Held while a counter or list file is read and written back: an exclusive lock on FILE.lock
// beside it (not on the file itself, which each taker replaces). The lock file stays.
class FileLock {
public:
    explicit FileLock(const std::string& path) {
        const std::string lock = path + ".lock";
#if defined(_WIN32)
        fd_ = _open(lock.c_str(), _O_RDWR | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
        OVERLAPPED at{};
        if (fd_ >= 0 &&
            !LockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd_)), LOCKFILE_EXCLUSIVE_LOCK, 0,
                        1, 0, &at)) {
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

    uint64_t UnitField(const nlohmann::ordered_json& doc, const char* key) const {
        const auto field = doc.find(key);
        std::string digits;
        if (field == doc.end() || !field->is_string())
            throw Malformed(std::string("\"") + key + "\" is missing or not a string");
        const std::string text = field->get<std::string>();
        if (!HexDigits(text, &digits) || digits.size() > 10)
            throw Malformed(std::string("\"") + key + "\" is \"" + text +
                            "\", not a 40-bit hex number");
        return std::stoull(digits, nullptr, 16);
    }

    Counter Load() const {
        Counter counter;
        try {
            counter.doc = nlohmann::ordered_json::parse(ReadText(path_));
        } catch (const nlohmann::json::exception& error) {
            throw Malformed(std::string("it is not JSON (") + error.what() + ")");
        }
        if (!counter.doc.is_object()) throw Malformed("it is not a JSON object");
        counter.next = UnitField(counter.doc, "next");
        counter.last = UnitField(counter.doc, "last");
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
                if (!id || (!mark.empty() && ((mark != "used" && mark != "spent") ||
                                              time.empty() || !extra.empty()))) {
                    throw ToolError(LORIC_ERR_INVALID_PARAMETER,
                                    "--guid-list: line " + std::to_string(number) + " of " +
                                        path_ + " is not an id: \"" + raw + "\"",
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
    const int given =
        !options.guid.empty() + !options.counter.empty() + !options.list.empty();
    if (given > 1) {
        throw ToolError(kExitUsage,
                        "give only one of --guid, --guid-counter and --guid-list");
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
