#include "record.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "errors.h"
#include "loric.h"

namespace tool {
namespace {

JobRecord g_record;

}  // namespace

std::string HexText(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%06llX", static_cast<unsigned long long>(value));
    return text;
}

std::string RecordTime() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms));
    return text;
}

namespace {

// SHA-256 (FIPS 180-4), enough for the record's image digests.
class Sha256 {
public:
    void Add(const uint8_t* data, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            block_[used_++] = data[i];
            if (used_ == 64) Compress();
        }
        bits_ += static_cast<uint64_t>(size) * 8;
    }
    std::string Hex() {
        const uint64_t bits = bits_;
        const uint8_t one = 0x80, zero = 0;
        Add(&one, 1);
        while (used_ != 56) Add(&zero, 1);
        for (int i = 7; i >= 0; --i) {
            const uint8_t byte = static_cast<uint8_t>(bits >> (i * 8));
            Add(&byte, 1);
        }
        std::string text;
        char hex[9];
        for (uint32_t word : h_) {
            std::snprintf(hex, sizeof hex, "%08x", word);
            text += hex;
        }
        return text;
    }

private:
    static uint32_t Rotate(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
    void Compress() {
        static constexpr uint32_t k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
            0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
            0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
            0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
            0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
            0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
            0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
            0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
            0xc67178f2};
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = uint32_t(block_[4 * i]) << 24 | uint32_t(block_[4 * i + 1]) << 16 |
                   uint32_t(block_[4 * i + 2]) << 8 | block_[4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6],
                 h = h_[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t t1 = h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) +
                                ((e & f) ^ (~e & g)) + k[i] + w[i];
            const uint32_t t2 =
                (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        const uint32_t add[8] = {a, b, c, d, e, f, g, h};
        for (int i = 0; i < 8; ++i) h_[i] += add[i];
        used_ = 0;
    }

    std::array<uint32_t, 8> h_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    uint8_t block_[64] = {};
    size_t used_ = 0;
    uint64_t bits_ = 0;
};

}  // namespace

void JobRecord::Begin(const std::string& command) {
    doc_ = nlohmann::json::object();
    doc_["command"] = command;
    doc_["start"] = RecordTime();
}

void JobRecord::SetOrigin(const std::string& tool, const std::string& library,
                          const std::string& host) {
    doc_["tool_version"] = tool;
    doc_["library_version"] = library;
    doc_["host"] = host;
}

void JobRecord::SetLog(const std::string& path) { doc_["log"] = path; }

void JobRecord::SetLink(const std::string& link, const std::string& port) {
    doc_["link"] = link;
    doc_["port"] = port;
}

void JobRecord::SetDevice(uint16_t node, const std::string& state) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", node);
    doc_["node"] = text;
    doc_["state"] = state;
}

void JobRecord::SetIdentityBefore(const std::string& eui64) { doc_["eui64_before"] = eui64; }
void JobRecord::SetIdentityAfter(const std::string& eui64) { doc_["eui64_after"] = eui64; }
void JobRecord::SetChip(const std::string& name) { doc_["chip"] = name; }

void JobRecord::AddImage(const std::string& role, const std::string& path) {
    doc_["images"].push_back({{"role", role}, {"file", path}, {"sha256", FileSha256(path)}});
}

void JobRecord::AddImage(const std::string& role, const std::string& path,
                         const std::string& written) {
    doc_["images"].push_back({{"role", role}, {"file", path}, {"sha256", FileSha256(written)}});
}

void JobRecord::AddReadBack(const std::string& what, uint32_t address, uint64_t size, bool match,
                            uint64_t differences, uint64_t firstDifference) {
    nlohmann::json entry = {
        {"what", what}, {"address", HexText(address)}, {"size", size}, {"match", match}};
    if (!match) {
        entry["differences"] = differences;
        entry["first_difference"] = HexText(firstDifference);
    }
    doc_["readback"].push_back(entry);
}

void JobRecord::AddBackup(const std::string& path) { doc_["backups"].push_back(path); }

void JobRecord::AddStep(const std::string& name, double seconds) {
    doc_["steps"].push_back({{"name", name}, {"seconds", seconds}});
}

void JobRecord::SetVerify(const std::string& outcome) { doc_["verify"] = outcome; }

void JobRecord::End(int exitCode, const std::string& message, const std::string& hint) {
    doc_["end"] = RecordTime();
    doc_["exit_code"] = exitCode;
    if (exitCode != 0) {
        doc_["error"] = {{"message", message}, {"hint", hint}};
    }
}

JobRecord& Record() { return g_record; }

const char* ToolVersion() { return "1.0"; }

const char* LibraryVersion() {
#if defined(LORIC_BUILD_VERSION)
    return LORIC_BUILD_VERSION;
#else
    return "";
#endif
}

std::string HostName() {
#if defined(_WIN32)
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
#else
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
#endif
}

std::string Eui64Text(uint64_t eui64) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(eui64));
    return text;
}

void AppendReport(const std::string& path, const JobRecord& record) {
    const std::string line = record.doc().dump() + "\n";
#if defined(_WIN32)
    const int fd =
        _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
#endif
    if (fd < 0) {
        throw ToolError(LORIC_ERR_FILE_OPEN, "cannot open the job record " + path);
    }
#if defined(_WIN32)
    const long long written = _write(fd, line.data(), static_cast<unsigned>(line.size()));
    const bool synced = _commit(fd) == 0;
    _close(fd);
#else
    const long long written = write(fd, line.data(), line.size());
    const bool synced = fsync(fd) == 0;
    close(fd);
#endif
    if (written != static_cast<long long>(line.size()) || !synced) {
        throw ToolError(LORIC_ERR_FILE_IO, "cannot write the job record " + path);
    }
}

std::string FileSha256(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    Sha256 sha;
    std::vector<char> buffer(65536);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize got = in.gcount();
        if (got > 0) sha.Add(reinterpret_cast<const uint8_t*>(buffer.data()), size_t(got));
    }
    if (in.bad()) return {};
    return sha.Hex();
}

}  // namespace tool
