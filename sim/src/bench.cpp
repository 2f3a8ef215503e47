#include "tqsim/bench.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tqsim/bytes.h"
#include "unix_socket.h"

namespace tqsim {

namespace {

// 0x is optional; `minDigits` to `maxDigits` hexadecimal digits.
bool ParseHex(const std::string& text, size_t minDigits, size_t maxDigits, uint64_t* value) {
    std::string digits =
        text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? text.substr(2) : text;
    if (digits.size() < minDigits || digits.size() > maxDigits) return false;
    uint64_t v = 0;
    for (char c : digits) {
        const int d = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint64_t>(d);
    }
    *value = v;
    return true;
}

std::string Eui64(uint32_t high, uint32_t low) {
    char text[20];
    std::snprintf(text, sizeof text, "%08X%08X", high, low);
    return text;
}

std::string Node(uint16_t id) {
    if (id == Bus::kNoNode) return "-";
    char text[8];
    std::snprintf(text, sizeof text, "%04X", id);
    return text;
}

bool ParseIndex(std::istream& in, size_t count, size_t* index, std::string* error) {
    std::string word;
    in >> word;
    char* end = nullptr;
    const unsigned long v = std::strtoul(word.c_str(), &end, 10);
    if (word.empty() || *end != '\0' || v >= count) {
        *error = word.empty() ? "a device index is missing" : "no device " + word;
        return false;
    }
    *index = v;
    return true;
}

}  // namespace

bool ParseBoardSpec(const std::string& text, BoardSpec* spec, std::string* error) {
    *spec = BoardSpec{};
    std::istringstream in(text);
    for (std::string field; std::getline(in, field, ',');) {
        const size_t eq = field.find('=');
        const std::string key = field.substr(0, eq),
                          value = eq == std::string::npos ? "" : field.substr(eq + 1);
        uint64_t number = 0;
        bool ok = eq != std::string::npos && !value.empty();
        if (!ok) {
        } else if (key == "state") {
            ok = value == "blank" || value == "loader" || value == "running";
            spec->state = value == "loader"    ? BoardSpec::State::Loader
                          : value == "running" ? BoardSpec::State::Running
                                               : BoardSpec::State::Blank;
        } else if (key == "chip") {
            spec->chip = value;
        } else if (key == "image") {
            spec->image = value;
        } else if (key == "guid") {
            ok = ParseHex(value, 16, 16, &spec->guid);
            spec->hasGuid = true;
        } else if (key == "plugged") {
            ok = value == "yes" || value == "no";
            spec->plugged = value == "yes";
        } else if (key == "checksum") {
            ok = ParseHex(value, 1, 8, &number);
            spec->checksumXor = static_cast<uint32_t>(number);
        } else {
            ok = false;
        }
        if (!ok) {
            *error = "bad device field \"" + field +
                     "\" (state=blank|loader|running, chip=NAME, guid=16 HEX DIGITS, image=FILE, "
                     "plugged=yes|no, checksum=HEX)";
            return false;
        }
    }
    return true;
}

// ---- Bench ------------------------------------------------------------------------------------

Bench::Bench(System& sim, BenchImages images) : sim_(sim), images_(std::move(images)) {
    if (images_.loader.empty()) images_.loader = image::ExampleLoader();
    if (images_.firmware.empty()) images_.firmware = image::ExampleFirmware();
    if (images_.config.empty()) images_.config = image::ExampleConfig();
}

bool BenchImages::ChipOf(const BoardSpec& spec, const ChipGeometry& fallback, ChipGeometry* chip,
                         std::string* error) const {
    if (spec.chip.empty()) {
        *chip = fallback;
        return true;
    }
    if (const ChipGeometry* builtIn = FindBuiltInChip(spec.chip)) {
        *chip = *builtIn;
        return true;
    }
    if (flashDataFile.empty()) {
        *error = "no built-in chip named " + spec.chip;
        return false;
    }
    return LoadChipFromFlashDataFile(flashDataFile, spec.chip, chip, error);
}

DeviceIdentity BenchImages::IdentityOf(const BoardSpec& spec, size_t index) const {
    DeviceIdentity id;
    if (spec.hasGuid) {
        id.nodeVendorId = static_cast<uint32_t>(spec.guid >> 40);
        id.chipIdHi = static_cast<uint8_t>(spec.guid >> 32);
        id.chipIdLo = static_cast<uint32_t>(spec.guid);
        return id;
    }
    // The configuration's own identifier, chip_id_lo counted on by the board's index.
    const std::vector<uint8_t>& c = config.empty() ? image::ExampleConfig() : config;
    const size_t rom = reg::kExtConfigRomByte;
    if (c.size() >= rom + 20) {
        const uint32_t high = bytes::LoadLittleEndian32(c.data() + rom + 12);
        id.nodeVendorId = high >> 8;
        id.chipIdHi = static_cast<uint8_t>(high);
        id.chipIdLo = bytes::LoadLittleEndian32(c.data() + rom + 16);
    }
    id.chipIdLo += static_cast<uint32_t>(index);
    return id;
}

bool Bench::SetUp(size_t index, const BoardSpec& spec, std::string* error) {
    const DeviceIdentity id = sim_.Identity(index);
    if (!spec.image.empty()) {
        std::ifstream in(spec.image, std::ios::binary);
        if (!in) {
            *error = "cannot read " + spec.image;
            return false;
        }
        sim_.SetFlash({std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()},
                      index);
    } else if (spec.state == BoardSpec::State::Running) {
        std::vector<uint8_t> config = images_.config;
        image::SetConfigIdentity(&config, id.nodeVendorId, id.chipIdHi, id.chipIdLo);
        if (!sim_.InstallFirmware(images_.firmware, config, index)) {
            *error = "the firmware and configuration do not fit the " + sim_.Chip(index).name;
            return false;
        }
    } else if (spec.state == BoardSpec::State::Loader) {
        sim_.SetFlash(images_.loader, index);
    } else {
        sim_.EraseFlash(index);
    }
    sim_.SetChecksumError(spec.checksumXor, index);
    sim_.Reboot(index);
    if (!spec.plugged) sim_.Unplug(index);
    return true;
}

int Bench::Add(const BoardSpec& spec, std::string* error) {
    DeviceOptions options;
    ChipGeometry chip;
    if (!images_.ChipOf(spec, sim_.Chip(0), &chip, error)) return -1;
    if (!spec.image.empty() && !std::ifstream(spec.image)) {
        *error = "cannot read " + spec.image;
        return -1;
    }
    options.chip = chip;
    options.identity = images_.IdentityOf(spec, sim_.DeviceCount());
    options.plugged = false;  // set up first, then plugged in: one bus reset
    const size_t index = sim_.AddDevice(options);
    BoardSpec offBus = spec;
    offBus.plugged = false;
    if (!SetUp(index, offBus, error)) {
        *error = "device " + std::to_string(index) + " stays unplugged: " + *error;
        return -1;
    }
    if (spec.plugged) sim_.Plug(index);
    return static_cast<int>(index);
}

std::string Bench::DeviceLine(size_t index) {
    std::string state = sim_.Plugged(index) ? ModeName(sim_.Mode(index)) : "unplugged";
    std::string eui = "-";
    for (const NodeEntry& n : sim_.Nodes())
        if (n.device == static_cast<int>(index) && n.listed) eui = Eui64(n.idHigh, n.idLow);
    return std::to_string(index) + " " + state + " " + Node(sim_.DeviceNodeId(index)) + " " + eui +
           " " + sim_.Chip(index).name;
}

std::string Bench::Execute(const std::string& line) {
    std::lock_guard<std::mutex> lock(mu_);
    std::istringstream in(line);
    std::string command, error, out;
    in >> command;
    size_t index = 0;
    const size_t count = sim_.DeviceCount();
    if (command == "devices") {
        for (size_t i = 0; i < count; ++i) out += DeviceLine(i) + "\n";
    } else if (command == "nodes") {
        out = "generation " + std::to_string(sim_.Generation()) + "\n";
        for (const NodeEntry& n : sim_.Nodes()) {
            const bool shown = n.listed || n.device < 0;
            out += Node(n.nodeId) + " " + n.name + " " +
                   (n.device < 0 ? "-" : std::to_string(n.device)) +
                   (n.listed ? " listed " : " - ") + (shown ? Eui64(n.idHigh, n.idLow) : "-") +
                   "\n";
        }
    } else if (command == "add") {
        std::string text;
        in >> text;
        BoardSpec spec;
        const int added = ParseBoardSpec(text, &spec, &error) ? Add(spec, &error) : -1;
        if (added >= 0) out = DeviceLine(static_cast<size_t>(added)) + "\n";
    } else if (command == "unplug" || command == "plug") {
        if (ParseIndex(in, count, &index, &error)) {
            const bool done = command == "plug" ? sim_.Plug(index) : sim_.Unplug(index);
            if (!done)
                error = "device " + std::to_string(index) +
                        (command == "plug" ? " is plugged in already" : " is not plugged in");
        }
    } else if (command == "bus-reset") {
        sim_.BusReset();
    } else if (command == "save") {
        std::string file;
        if (ParseIndex(in, count, &index, &error) && (in >> file)) {
            const std::vector<uint8_t> flash = sim_.Flash(index);
            std::ofstream f(file, std::ios::binary | std::ios::trunc);
            f.write(reinterpret_cast<const char*>(flash.data()),
                    static_cast<std::streamsize>(flash.size()));
            if (!f) error = "cannot write " + file;
        } else if (error.empty()) {
            error = "save INDEX FILE";
        }
    } else if (command == "help") {
        out =
            "devices | nodes | add SPEC | unplug INDEX | plug INDEX | bus-reset | save INDEX "
            "FILE\n";
    } else {
        error = command.empty() ? "no command" : "unknown command " + command + " (try help)";
    }
    if (!error.empty()) return "error: " + error + "\n";
    return out + "ok\n";
}

// ---- Control socket ---------------------------------------------------------------------------

namespace {
bool SendAll(int fd, const std::string& text) {
    return unix_socket::WriteAll(fd, text.data(), text.size());
}
}  // namespace

bool LineServer::Start(const std::string& path, std::string* error) {
    Stop();
    listenFd_ = unix_socket::Listen(path, error);
    if (listenFd_ < 0) return false;
    path_ = path;
    stopping_ = false;
    acceptThread_ = std::thread([this] {
        while (!stopping_) {
            pollfd p{listenFd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::lock_guard<std::mutex> lock(mu_);
            // Join the threads of connections that ended, so a client that connects for
            // every command does not pile them up.
            for (auto it = workers_.begin(); it != workers_.end();) {
                const auto ended = std::find(finished_.begin(), finished_.end(), it->get_id());
                if (ended == finished_.end()) {
                    ++it;
                    continue;
                }
                it->join();
                finished_.erase(ended);
                it = workers_.erase(it);
            }
            fds_.push_back(fd);
            workers_.emplace_back([this, fd] { Serve(fd); });
        }
    });
    return true;
}

void LineServer::Serve(int fd) {
    std::string buffer;
    char chunk[512];
    for (;;) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || buffer.size() > 65536) break;
        buffer.append(chunk, static_cast<size_t>(n));
        bool sent = true;
        for (size_t end; sent && (end = buffer.find('\n')) != std::string::npos;) {
            std::string line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            sent = SendAll(fd, handler_(line));
        }
        if (!sent) break;
    }
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = fds_.begin(); it != fds_.end(); ++it)
        if (*it == fd) {
            fds_.erase(it);
            break;
        }
    ::close(fd);
    finished_.push_back(std::this_thread::get_id());
}

void LineServer::Stop() {
    if (listenFd_ < 0) return;
    stopping_ = true;
    if (acceptThread_.joinable()) acceptThread_.join();
    ::close(listenFd_);
    listenFd_ = -1;
    std::list<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
        workers.swap(workers_);
        finished_.clear();
    }
    for (auto& t : workers) t.join();
    ::unlink(path_.c_str());
}

namespace {
std::string LastLine(const std::string& text) {
    // rfind gives npos (and npos + 1 is 0) when the text is one line.
    return text.substr(text.size() < 2 ? 0 : text.rfind('\n', text.size() - 2) + 1);
}
}  // namespace

bool ControlReplyOk(const std::string& reply) { return LastLine(reply) == "ok\n"; }

bool SendControl(const std::string& path, const std::string& command, std::string* reply) {
    reply->clear();
    const int fd = unix_socket::Connect(path);
    if (fd < 0) {
        *reply = "cannot reach " + path + ": " + std::strerror(errno) + "\n";
        return false;
    }
    bool ok = SendAll(fd, command + "\n");
    // Up to the status line: "ok" or "error: ..." at the start of a line.
    auto done = [&] {
        const std::string last = LastLine(*reply);
        return !reply->empty() && reply->back() == '\n' &&
               (last == "ok\n" || last.rfind("error: ", 0) == 0);
    };
    char chunk[512];
    while (ok && !done()) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            reply->append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    if (!ok) *reply += "(the control connection broke)\n";
    return ok;
}

}  // namespace tqsim
