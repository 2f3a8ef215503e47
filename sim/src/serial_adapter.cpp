#include "tqsim/serial_adapter.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "tqsim/bytes.h"
#include "tqsim/registers.h"

namespace tqsim {

namespace {
std::vector<uint8_t> Refusal(uint8_t command, uint8_t reason) {
    return {0xAA, 0x04, command, reason};
}
std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        s += buf;
    }
    return s;
}
}  // namespace

SerialAdapter::SerialAdapter(Bus& bus, std::mutex* lock) : bus_(bus), lock_(lock) {}

SerialAdapter::~SerialAdapter() { Stop(); }

uint32_t SerialAdapter::ReadQuadlet(uint16_t, uint32_t, uint32_t*) { return reg::kErrIoDevice; }
uint32_t SerialAdapter::WriteQuadlet(uint16_t, uint32_t, uint32_t) { return reg::kErrIoDevice; }

bool SerialAdapter::Take(uint32_t& counter, uint8_t command) {
    if (counter == 0) return false;
    if (faults_.onlyCommand != 0 && faults_.onlyCommand != command) return false;
    --counter;
    return true;
}

std::vector<uint8_t> SerialAdapter::HandleFrame(const std::vector<uint8_t>& frame) {
    ++frames_;
    if (frame.size() < 2) return Refusal(frame.empty() ? 0 : frame[0], 3);
    const uint8_t cmd = frame[0];
    std::vector<uint8_t> reply;
    bool faulty = true;
    if (Take(faults_.silentReplies, cmd)) {
        if (log_) log_("adapter: " + HexBytes(frame) + " -> (silence, fault)");
        return {};
    }
    if (Take(faults_.resendReplies, cmd)) {
        reply = {0x00, 0x02};
    } else if (Take(faults_.refuseReplies, cmd)) {
        reply = {0xAA, 0x02};
    } else if (frame[1] != frame.size()) {
        reply = Refusal(cmd, 3);
    } else {
        faulty = false;
        switch (cmd) {
        case 0x02: reply = frame; break;
        case 0x03: {
            if (frame.size() != 2) {
                reply = Refusal(cmd, 3);
                break;
            }
            auto nodes = bus_.ListedNodes();
            if (nodes.size() > 10) nodes.resize(10);  // what fits in a 128-byte reply
            reply.assign(4 + 12 * nodes.size(), 0);
            reply[0] = 0x03;
            reply[1] = static_cast<uint8_t>(reply.size());
            reply[2] = static_cast<uint8_t>(nodes.size());
            for (size_t k = 0; k < nodes.size(); ++k) {
                uint8_t* e = &reply[4 + 12 * k];
                bytes::StoreLittleEndian16(e, nodes[k].nodeId);
                bytes::StoreLittleEndian32(e + 4, nodes[k].idHigh);
                bytes::StoreLittleEndian32(e + 8, nodes[k].idLow);
            }
            break;
        }
        case 0x04:
        case 0x05: {
            const size_t size = cmd == 0x04 ? 20 : 16;
            if (frame.size() != size) {
                reply = Refusal(cmd, 3);
                break;
            }
            const uint32_t node = bytes::LoadLittleEndian32(&frame[4]);
            const uint32_t high = bytes::LoadLittleEndian32(&frame[8]);
            const uint32_t low = bytes::LoadLittleEndian32(&frame[12]);
            if (node > 0xFFFF || high > 0xFFFF) {
                reply = Refusal(cmd, 3);
                break;
            }
            uint32_t value = cmd == 0x04 ? bytes::LoadLittleEndian32(&frame[16]) : 0;
            uint32_t error = cmd == 0x04 ? bus_.Write(static_cast<uint16_t>(node),
                                                      static_cast<uint16_t>(high), low, value)
                                         : bus_.Read(static_cast<uint16_t>(node),
                                                     static_cast<uint16_t>(high), low, &value);
            if (error) {
                reply = Refusal(cmd, error == reg::kErrSemTimeout ? 1 : 2);
            } else if (cmd == 0x04) {
                reply = {0x04, 0x04, 0x00, 0x00};
            } else {
                reply = {0x05, 0x08, 0x00, 0x00, 0, 0, 0, 0};
                bytes::StoreLittleEndian32(&reply[4], value);
            }
            break;
        }
        case 0x06:
            bus_.Reset();
            reply = {0x06, 0x02};
            break;
        case 0x07: {
            const uint16_t id = bus_.NodeIdOf(this);
            if (id == Bus::kNoNode)
                reply = Refusal(cmd, 1);
            else
                reply = {0x07, 0x04, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)};
            break;
        }
        default: reply = Refusal(cmd, 4); break;
        }
    }
    if (!faulty && Take(faults_.oversizeReplies, cmd) && reply.size() >= 2) reply[1] = 0xC8;
    if (log_) log_("adapter: " + HexBytes(frame) + " -> " + HexBytes(reply));
    return reply;
}

std::string SerialAdapter::Start(const AdapterOptions& options, std::string* error) {
    Stop();
    auto fail = [&](const std::string& text) {
        if (error) *error = text + ": " + std::strerror(errno);
        if (master_ >= 0) ::close(master_);
        if (slaveKeep_ >= 0) ::close(slaveKeep_);
        master_ = slaveKeep_ = -1;
        return std::string();
    };
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) return fail("posix_openpt");
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return fail("grantpt/unlockpt");
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) return fail("ptsname");
    slavePath_ = name;
    // Keep the terminal side open and raw, so that nothing echoes before a client has set the
    // line up and the master never sees a hang-up between clients.
    slaveKeep_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveKeep_ < 0) return fail("open " + slavePath_);
    termios t{};
    if (::tcgetattr(slaveKeep_, &t) == 0) {
        ::cfmakeraw(&t);
        ::cfsetspeed(&t, B115200);
        ::tcsetattr(slaveKeep_, TCSANOW, &t);
    }
    options_ = options;
    if (!options.linkPath.empty()) {
        ::unlink(options.linkPath.c_str());
        if (::symlink(slavePath_.c_str(), options.linkPath.c_str()) != 0)
            return fail("symlink " + options.linkPath);
    }
    {
        std::unique_lock<std::mutex> lock;
        if (lock_) lock = std::unique_lock<std::mutex>(*lock_);
        bus_.Join(this);
    }
    stopping_ = false;
    thread_ = std::thread([this] { Loop(); });
    return slavePath_;
}

void SerialAdapter::Stop() {
    if (master_ < 0) return;
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    {
        std::unique_lock<std::mutex> lock;
        if (lock_) lock = std::unique_lock<std::mutex>(*lock_);
        bus_.Leave(this);
    }
    ::close(master_);
    ::close(slaveKeep_);
    master_ = slaveKeep_ = -1;
    if (!options_.linkPath.empty()) ::unlink(options_.linkPath.c_str());
    slavePath_.clear();
}

namespace {
// 10 bits a byte (start, 8 data, stop) at 115200 baud.
std::chrono::nanoseconds LineTime(size_t bytes) {
    return std::chrono::nanoseconds(static_cast<int64_t>(bytes) * 10 * 1000000000LL / 115200);
}

// Sleeps until an absolute time of the steady clock. One absolute deadline per reply keeps
// the pacing from adding up the oversleep of many short relative sleeps.
void SleepUntil(std::chrono::steady_clock::time_point due) {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
    timespec t{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (std::chrono::steady_clock::now() < due &&
           ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}
}  // namespace

void SerialAdapter::Send(const std::vector<uint8_t>& reply,
                         std::chrono::steady_clock::time_point due) {
    auto write = [&](const uint8_t* p, size_t n) {
        while (n) {
            ssize_t w = ::write(master_, p, n);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return;
            p += w;
            n -= static_cast<size_t>(w);
        }
    };
    bool split;
    uint32_t pauseMs;
    {
        std::unique_lock<std::mutex> lock;
        if (lock_) lock = std::unique_lock<std::mutex>(*lock_);
        split = faults_.splitReplies;
        pauseMs = faults_.splitPauseMs;
    }
    if (!split || reply.size() < 2) {
        if (options_.paced) SleepUntil(due);
        write(reply.data(), reply.size());
        return;
    }
    // Pieces: the first byte, then the length byte and up to 2 more, then the rest; each
    // leaves once its bytes have been on the line.
    size_t cuts[] = {1, std::min<size_t>(reply.size(), 4), reply.size()};
    size_t from = 0;
    auto start = due - LineTime(reply.size());
    for (size_t to : cuts) {
        if (to <= from) continue;
        start += LineTime(to - from);
        if (options_.paced) SleepUntil(start);
        write(reply.data() + from, to - from);
        from = to;
        if (from < reply.size()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
            start += std::chrono::milliseconds(pauseMs);
        }
    }
}

void SerialAdapter::Loop() {
    // Timer slack would add tens of microseconds to every paced reply.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::vector<uint8_t> buffer;
    auto lastByte = std::chrono::steady_clock::now();
    // When the first byte of the frame at the head of the buffer came in. The terminal hands
    // over a frame at once; on the line its bytes take their time from there on.
    auto frameStart = lastByte;
    while (!stopping_) {
        pollfd p{master_, POLLIN, 0};
        int r = ::poll(&p, 1, 20);
        if (r > 0 && (p.revents & POLLIN)) {
            uint8_t chunk[256];
            ssize_t n = ::read(master_, chunk, sizeof chunk);
            if (n > 0) {
                lastByte = std::chrono::steady_clock::now();
                if (buffer.empty()) frameStart = lastByte;
                buffer.insert(buffer.end(), chunk, chunk + n);
            }
        } else if (!buffer.empty() &&
                   std::chrono::steady_clock::now() - lastByte > std::chrono::milliseconds(200)) {
            // An incomplete frame that nobody finishes: drop it so the next frame is seen.
            buffer.clear();
        }
        while (buffer.size() >= 2) {
            const size_t length = buffer[1];
            if (length < 2) {  // no such frame: answer once and start over
                std::vector<uint8_t> reply;
                {
                    std::unique_lock<std::mutex> lock;
                    if (lock_) lock = std::unique_lock<std::mutex>(*lock_);
                    reply = HandleFrame({buffer[0], buffer[1]});
                }
                buffer.clear();
                lineBytes_ += 2 + reply.size();
                Send(reply, frameStart + LineTime(2 + reply.size()));
                break;
            }
            if (buffer.size() < length) break;
            std::vector<uint8_t> frame(buffer.begin(),
                                       buffer.begin() + static_cast<std::ptrdiff_t>(length));
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
            std::vector<uint8_t> reply;
            {
                std::unique_lock<std::mutex> lock;
                if (lock_) lock = std::unique_lock<std::mutex>(*lock_);
                const bool overlapped = chipBusy_ && chipBusy_();
                reply = HandleFrame(frame);
                if (!overlapped) lineBytes_ += length + reply.size();
            }
            // The reply can start once the frame is in and leaves at line rate; time the
            // bus transaction took beyond that delays it.
            const auto due = frameStart + LineTime(length + reply.size());
            if (!reply.empty()) Send(reply, due);
            frameStart = std::max(std::chrono::steady_clock::now(), due);
        }
    }
}

}  // namespace tqsim
