#include "request_recorder.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/bytes.h"

namespace loric::test {

namespace {

constexpr uint32_t kAsyncReadCode = 0x222008, kAsyncWriteCode = 0x22200C;
constexpr uint32_t kUploadFlashPortCode = 0x222198, kUploadUploaderCode = 0x22219C;
constexpr uint32_t kMaxLength = 64u << 20;  // a longer request is no sane client's: hang up

// Moves exactly `size` bytes through the socket; false when the peer closes or fails.
bool Move(int fd, uint8_t* data, size_t size, bool out) {
    while (size > 0) {
        const ssize_t done = out ? send(fd, data, size, MSG_NOSIGNAL) : recv(fd, data, size, 0);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        data += done;
        size -= static_cast<size_t>(done);
    }
    return true;
}

bool Receive(int fd, std::vector<uint8_t>& bytes, uint32_t size) {
    if (size > kMaxLength) return false;
    bytes.resize(size);
    return Move(fd, bytes.data(), size, false);
}

std::string NewSocketPath() {
    static std::atomic<int> count{0};
    return "/tmp/loric-driver-" + std::to_string(getpid()) + "-" + std::to_string(++count) +
           ".sock";
}

}  // namespace

std::vector<uint8_t> LittleEndianBytes(std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> bytes;
    for (uint32_t word : words) {
        bytes.resize(bytes.size() + 4);
        bytes::StoreLittleEndian32(&bytes[bytes.size() - 4], word);
    }
    return bytes;
}

uint32_t LittleEndianAt(const std::vector<uint8_t>& bytes, size_t offset) {
    if (offset + 4 > bytes.size()) throw std::out_of_range("LittleEndianAt");
    return bytes::LoadLittleEndian32(&bytes[offset]);
}

ScriptedReply ScriptedReply::NodeList(const std::vector<NODE_INFO>& nodes) {
    ScriptedReply reply;
    reply.output = LittleEndianBytes({static_cast<uint32_t>(nodes.size())});
    const auto* raw = reinterpret_cast<const uint8_t*>(nodes.data());
    reply.output->insert(reply.output->end(), raw, raw + nodes.size() * sizeof(NODE_INFO));
    return reply;
}

ScriptedReply ScriptedReply::QuadletRead(const RecordedRequest& request, uint32_t value) {
    ScriptedReply reply;
    reply.output = request.input;
    reply.output->resize(std::max<size_t>(reply.output->size(), 40));
    for (int i = 0; i < 4; ++i)
        (*reply.output)[36 + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
    return reply;
}

std::optional<AsyncTransaction> RequestRecorder::Decode(const RecordedRequest& request) {
    const auto& in = request.input;
    if ((request.code != kAsyncReadCode && request.code != kAsyncWriteCode) || in.size() < 36)
        return std::nullopt;
    AsyncTransaction t;
    t.write = request.code == kAsyncWriteCode;
    t.nodeId = static_cast<uint16_t>(LittleEndianAt(in, 8));
    t.offsetHigh = static_cast<uint16_t>(LittleEndianAt(in, 12));
    t.offsetLow = LittleEndianAt(in, 16);
    t.byteCount = LittleEndianAt(in, 20);
    if (in.size() >= 40) t.value = bytes::LoadBigEndian32(&in[36]);
    return t;
}

RequestRecorder::RequestRecorder()
    : socketPath_(NewSocketPath()), socketEnv_("BRENNOCK_SOCKET", socketPath_.c_str()) {
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath_.c_str(), sizeof address.sun_path - 1);
    unlink(socketPath_.c_str());
    if (listenFd_ < 0 ||
        bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listenFd_, 8) != 0)
        throw std::runtime_error("driver stand-in: cannot listen");
    thread_ = std::thread([this] { Serve(); });
}

RequestRecorder::~RequestRecorder() {
    stop_ = true;
    thread_.join();
    close(listenFd_);
    unlink(socketPath_.c_str());
}

ScriptedReply RequestRecorder::ReplyFor(const RecordedRequest& request) {
    Handler handler;
    {
        Lock lock(mutex_);
        handler = handler_;
    }
    if (handler)  // called unlocked: it may script the recorder itself
        if (auto reply = handler(request)) return *reply;
    Lock lock(mutex_);
    if (auto& queue = queued_[request.code]; !queue.empty()) {
        ScriptedReply reply = queue.front();
        queue.pop_front();
        return reply;
    }
    if (auto standing = defaults_.find(request.code); standing != defaults_.end())
        return standing->second;
    const auto t = Decode(request);
    if (t && !t->write && readValues_.count(t->offsetLow))
        return ScriptedReply::QuadletRead(request, readValues_[t->offsetLow]);
    return {};
}

bool RequestRecorder::ServeOne(int fd, int connection) {
    std::vector<uint8_t> header;
    if (!Receive(fd, header, 12)) return false;
    RecordedRequest request;
    request.code = LittleEndianAt(header, 0);
    request.outLength = LittleEndianAt(header, 8);
    request.connection = connection;
    if (request.outLength > kMaxLength || !Receive(fd, request.input, LittleEndianAt(header, 4)))
        return false;
    if ((request.code == kUploadFlashPortCode || request.code == kUploadUploaderCode) &&
        request.input.size() >= 8 &&
        !Receive(fd, request.uploadData, LittleEndianAt(request.input, 4)))
        return false;
    {
        Lock lock(mutex_);
        requests_.push_back(request);
    }
    const ScriptedReply reply = ReplyFor(request);
    if (reply.disconnect) return false;
    std::vector<uint8_t> out = reply.output.value_or(request.input);
    out.resize(request.outLength, 0);
    std::vector<uint8_t> message = LittleEndianBytes(
        {reply.ok, reply.ok ? 0u : reply.error, reply.bytesReturned.value_or(request.outLength)});
    message.insert(message.end(), out.begin(), out.end());
    return Move(fd, message.data(), message.size(), true);
}

// One thread serves every connection, a request at a time; numbers[i] is the number of fds[i].
void RequestRecorder::Serve() {
    std::vector<pollfd> fds{{listenFd_, POLLIN, 0}};
    std::vector<int> numbers{0};
    int accepted = 0;
    while (!stop_) {
        if (poll(fds.data(), fds.size(), 10) <= 0) continue;
        for (size_t i = fds.size(); i-- > 1;) {
            if (fds[i].revents == 0 || ServeOne(fds[i].fd, numbers[i])) continue;
            close(fds[i].fd);
            fds.erase(fds.begin() + static_cast<long>(i));
            numbers.erase(numbers.begin() + static_cast<long>(i));
            --openConnections_;
        }
        if (fds[0].revents & POLLIN) {
            const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            fds.push_back({fd, POLLIN, 0});
            numbers.push_back(++accepted);
            ++openConnections_;
        }
    }
    for (size_t i = 1; i < fds.size(); ++i) close(fds[i].fd);
}

}  // namespace loric::test
