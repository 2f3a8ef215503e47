#include "scripted_adapter.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <utility>

namespace loric::test {

namespace {
void Pause(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
}  // namespace

ScriptedAdapter::ScriptedAdapter() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        throw std::runtime_error("no pseudo-terminal");
    path_ = ::ptsname(master_);
    // Holding the other side open keeps the line up between the library's opens; raw, so
    // that nothing is echoed before the library sets the line up itself.
    slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave_ < 0) throw std::runtime_error("cannot open pseudo-terminal");
    termios tio{};
    ::tcgetattr(slave_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave_, TCSANOW, &tio);
    thread_ = std::thread([this] { Run(); });
}

void ScriptedAdapter::StopLine(bool stop) { ::tcflow(slave_, stop ? TCOOFF : TCOON); }

void ScriptedAdapter::HangUp() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int* fd : {&master_, &slave_})
        if (*fd >= 0) ::close(std::exchange(*fd, -1));
}

ScriptedAdapter::Reply ScriptedAdapter::DefaultReply(const Bytes& frame) {
    static const std::map<uint8_t, Bytes> kFixed = {{0x03, {0x03, 0x04, 0x00, 0x00}},
                                                    {0x04, {0x04, 0x04, 0x00, 0x00}},
                                                    {0x06, {0x06, 0x02}},
                                                    {0x07, {0x07, 0x04, 0xFF, 0xC2}}};
    std::scoped_lock lock(mutex_);
    if (frame[0] == 0x02) return {{frame, 0}};
    if (frame[0] == 0x04 && frame.size() >= 20)
        registers_[LittleEndianAt(frame, 12)] = LittleEndianAt(frame, 16);
    if (frame[0] != 0x05)
        return {{kFixed.count(frame[0]) ? kFixed.at(frame[0]) : Bytes{0xAA, 0x02}, 0}};
    const uint32_t value = registers_[frame.size() >= 16 ? LittleEndianAt(frame, 12) : 0];
    return {{LittleEndianBytes({0x0805, value}), 0}};  // 05 08 00 00, the value
}

void ScriptedAdapter::Answer(const Bytes& frame) {
    std::optional<Reply> reply;
    Handler handler;
    {
        std::scoped_lock lock(mutex_);
        frames_.push_back(frame);
        if (!queue_.empty()) {
            reply = std::move(queue_.front());
            queue_.pop_front();
        }
        handler = handler_;
    }
    if (!reply) reply = handler ? handler(frame) : DefaultReply(frame);
    for (const Chunk& chunk : *reply) {
        for (size_t done = 0; done < chunk.bytes.size() && !stop_;) {
            const ssize_t n =
                ::write(master_, chunk.bytes.data() + done, chunk.bytes.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else
                Pause(1);
        }
        Pause(chunk.pauseMs);
    }
}

void ScriptedAdapter::Run() {
    Bytes pending;
    while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, 5) <= 0) continue;
        uint8_t buffer[256];
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            Pause(1);
            continue;
        }
        pending.insert(pending.end(), buffer, buffer + n);
        while (pending.size() >= 2) {
            const size_t length = std::max<size_t>(pending[1], 2);
            if (pending.size() < length) break;
            const Bytes frame(pending.begin(), pending.begin() + static_cast<long>(length));
            pending.erase(pending.begin(), pending.begin() + static_cast<long>(length));
            Answer(frame);
        }
    }
}

}  // namespace loric::test
