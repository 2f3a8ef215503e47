#include "scripted_adapter.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <utility>

namespace loric::test {

uint32_t Le32(const Bytes& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t{bytes[at + 3]} << 24;
}

void PutLe32(Bytes& bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

ScriptedAdapter::ScriptedAdapter() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
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
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    thread_ = std::thread([this] { Run(); });
}

ScriptedAdapter::~ScriptedAdapter() { HangUp(); }

void ScriptedAdapter::Queue(Reply reply) { std::scoped_lock lock(mutex_); queue_.push_back(std::move(reply)); }
void ScriptedAdapter::SetHandler(Handler handler) { std::scoped_lock lock(mutex_); handler_ = std::move(handler); }

std::vector<Bytes> ScriptedAdapter::Frames() { std::scoped_lock lock(mutex_); return frames_; }
void ScriptedAdapter::ClearFrames() { std::scoped_lock lock(mutex_); frames_.clear(); }
size_t ScriptedAdapter::FrameCount() { std::scoped_lock lock(mutex_); return frames_.size(); }
std::vector<uint32_t> ScriptedAdapter::WrittenValues() {
    std::scoped_lock lock(mutex_);
    std::vector<uint32_t> values;
    for (const Bytes& f : frames_)
        if (f.size() == 20 && f[0] == 0x04) values.push_back(Le32(f, 16));
    return values;
}

void ScriptedAdapter::SetRegister(uint32_t offsetLow, uint32_t value) { std::scoped_lock lock(mutex_); registers_[offsetLow] = value; }
void ScriptedAdapter::StopLine(bool stop) { ::tcflow(slave_, stop ? TCOOFF : TCOON); }

void ScriptedAdapter::HangUp() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int* fd : {&master_, &slave_})
        if (*fd >= 0) ::close(std::exchange(*fd, -1));
}

ScriptedAdapter::Reply ScriptedAdapter::DefaultReply(const Bytes& frame) {
    std::scoped_lock lock(mutex_);
    switch (frame[0]) {
    case 0x02:
        return {{frame, 0}};
    case 0x03:
        return {{{0x03, 0x04, 0x00, 0x00}, 0}};
    case 0x04:
        if (frame.size() >= 20) registers_[Le32(frame, 12)] = Le32(frame, 16);
        return {{{0x04, 0x04, 0x00, 0x00}, 0}};
    case 0x05: {
        Bytes reply{0x05, 0x08, 0x00, 0x00};
        const uint32_t offset = frame.size() >= 16 ? Le32(frame, 12) : 0;
        auto it = registers_.find(offset);
        PutLe32(reply, it == registers_.end() ? 0 : it->second);
        return {{reply, 0}};
    }
    case 0x06:
        return {{{0x06, 0x02}, 0}};
    case 0x07:
        return {{{0x07, 0x04, 0xFF, 0xC2}, 0}};
    default:
        return {{{0xAA, 0x02}, 0}};
    }
}

void ScriptedAdapter::Answer(const Bytes& frame) {
    Reply reply;
    bool queued = false;
    Handler handler;
    {
        std::scoped_lock lock(mutex_);
        frames_.push_back(frame);
        if (!queue_.empty()) {
            reply = std::move(queue_.front());
            queue_.pop_front();
            queued = true;
        } else {
            handler = handler_;
        }
    }
    if (!queued) reply = handler ? handler(frame) : DefaultReply(frame);
    for (const Chunk& chunk : reply) {
        size_t done = 0;
        while (done < chunk.bytes.size() && !stop_) {
            const ssize_t n = ::write(master_, chunk.bytes.data() + done, chunk.bytes.size() - done);
            if (n > 0) done += static_cast<size_t>(n);
            else std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (chunk.pauseMs != 0) std::this_thread::sleep_for(std::chrono::milliseconds(chunk.pauseMs));
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
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        pending.insert(pending.end(), buffer, buffer + n);
        while (pending.size() >= 2) {
            const size_t length = pending[1] < 2 ? 2 : pending[1];
            if (pending.size() < length) break;
            Bytes frame(pending.begin(), pending.begin() + static_cast<long>(length));
            pending.erase(pending.begin(), pending.begin() + static_cast<long>(length));
            Answer(frame);
        }
    }
}

}  // namespace loric::test
