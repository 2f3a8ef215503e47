#include "request_recorder.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace loric::test {

namespace {

constexpr uint32_t kAsyncReadCode = 0x222008;
constexpr uint32_t kAsyncWriteCode = 0x22200C;
constexpr uint32_t kUploadFlashPortCode = 0x222198;
constexpr uint32_t kUploadUploaderCode = 0x22219C;

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
bool ReadAll(int fd, uint8_t* data, size_t size) { return Move(fd, data, size, false); }

void PutLe(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

std::vector<uint8_t> LittleEndianBytes(std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> bytes;
    for (uint32_t word : words) PutLe(bytes, word);
    return bytes;
}

uint32_t LittleEndianAt(const std::vector<uint8_t>& bytes, size_t offset) {
    if (offset + 4 > bytes.size()) throw std::out_of_range("LittleEndianAt");
    uint32_t value = 0;
    for (size_t i = 4; i-- > 0;) value = value << 8 | bytes[offset + i];
    return value;
}

ScriptedReply ScriptedReply::NodeList(const std::vector<NODE_INFO>& nodes) {
    ScriptedReply reply;
    std::vector<uint8_t> bytes;
    PutLe(bytes, static_cast<uint32_t>(nodes.size()));
    for (const NODE_INFO& node : nodes) {
        const auto* raw = reinterpret_cast<const uint8_t*>(&node);
        bytes.insert(bytes.end(), raw, raw + sizeof node);
    }
    reply.output = bytes;
    return reply;
}

ScriptedReply ScriptedReply::QuadletRead(const RecordedRequest& request, uint32_t value) {
    ScriptedReply reply;
    std::vector<uint8_t> bytes = request.input;
    if (bytes.size() < 40) bytes.resize(40);
    for (int i = 0; i < 4; ++i) bytes[36 + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
    reply.output = bytes;
    return reply;
}

std::optional<AsyncTransaction> RequestRecorder::Decode(const RecordedRequest& request) {
    if (request.code != kAsyncReadCode && request.code != kAsyncWriteCode) return std::nullopt;
    if (request.input.size() < 36) return std::nullopt;
    AsyncTransaction t;
    t.write = request.code == kAsyncWriteCode;
    const auto& in = request.input;
    t.nodeId = static_cast<uint16_t>(in[8] | in[9] << 8);
    t.offsetHigh = static_cast<uint16_t>(in[12] | in[13] << 8);
    t.offsetLow = LittleEndianAt(in, 16);
    t.byteCount = LittleEndianAt(in, 20);
    for (size_t i = 36; i < 40 && in.size() >= 40; ++i) t.value = t.value << 8 | in[i];
    return t;
}

RequestRecorder::RequestRecorder() {
    char pattern[] = "/tmp/loric-driver-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    directory_ = pattern;
    socketPath_ = directory_ + "/driver.sock";

    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath_.c_str(), sizeof address.sun_path - 1);
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listenFd_, 8) != 0 || pipe(wakePipe_) != 0)
        throw std::runtime_error("driver stand-in: cannot listen");

    if (const char* previous = std::getenv("BRENNOCK_SOCKET")) previousSocketEnv_ = previous;
    setenv("BRENNOCK_SOCKET", socketPath_.c_str(), 1);
    thread_ = std::thread([this] { Serve(); });
}

RequestRecorder::~RequestRecorder() {
    const char stop = 'x';
    (void)!write(wakePipe_[1], &stop, 1);
    thread_.join();
    close(listenFd_);
    close(wakePipe_[0]);
    close(wakePipe_[1]);
    unlink(socketPath_.c_str());
    rmdir(directory_.c_str());
    if (previousSocketEnv_)
        setenv("BRENNOCK_SOCKET", previousSocketEnv_->c_str(), 1);
    else
        unsetenv("BRENNOCK_SOCKET");
}

void RequestRecorder::SetHandler(Handler handler) { std::scoped_lock lock(mutex_); handler_ = std::move(handler); }
void RequestRecorder::Queue(uint32_t code, ScriptedReply reply) { std::scoped_lock lock(mutex_); queued_[code].push_back(std::move(reply)); }
void RequestRecorder::SetDefault(uint32_t code, ScriptedReply reply) { std::scoped_lock lock(mutex_); defaults_[code] = std::move(reply); }
void RequestRecorder::SetReadValue(uint32_t offsetLow, uint32_t value) { std::scoped_lock lock(mutex_); readValues_[offsetLow] = value; }
void RequestRecorder::ClearScript() {
    std::scoped_lock lock(mutex_);
    handler_ = nullptr;
    queued_.clear();
    defaults_.clear();
    readValues_.clear();
}
std::vector<RecordedRequest> RequestRecorder::Requests() const { std::scoped_lock lock(mutex_); return requests_; }
std::vector<RecordedRequest> RequestRecorder::RequestsWithCode(uint32_t code) const {
    std::vector<RecordedRequest> out = Requests();
    std::erase_if(out, [code](const RecordedRequest& r) { return r.code != code; });
    return out;
}
std::vector<AsyncTransaction> RequestRecorder::Transactions() const {
    std::vector<AsyncTransaction> out;
    for (const auto& request : Requests())
        if (auto t = Decode(request)) out.push_back(*t);
    return out;
}
void RequestRecorder::ClearRequests() { std::scoped_lock lock(mutex_); requests_.clear(); }
int RequestRecorder::Connections() const { std::scoped_lock lock(mutex_); return connections_; }
int RequestRecorder::OpenConnections() const { std::scoped_lock lock(mutex_); return openConnections_; }

ScriptedReply RequestRecorder::ReplyFor(const RecordedRequest& request) {
    Handler handler;
    {
        std::scoped_lock lock(mutex_);
        handler = handler_;
    }
    if (handler)
        if (auto reply = handler(request)) return *reply;
    std::scoped_lock lock(mutex_);
    auto queued = queued_.find(request.code);
    if (queued != queued_.end() && !queued->second.empty()) {
        ScriptedReply reply = queued->second.front();
        queued->second.erase(queued->second.begin());
        return reply;
    }
    auto standing = defaults_.find(request.code);
    if (standing != defaults_.end()) return standing->second;
    if (request.code == kAsyncReadCode) {
        if (auto t = Decode(request)) {
            auto value = readValues_.find(t->offsetLow);
            if (value != readValues_.end()) return ScriptedReply::QuadletRead(request, value->second);
        }
    }
    return ScriptedReply{};
}

bool RequestRecorder::ServeOne(int fd, int connection) {
    std::vector<uint8_t> headerBytes(12);
    if (!ReadAll(fd, headerBytes.data(), 12)) return false;
    RecordedRequest request;
    request.code = LittleEndianAt(headerBytes, 0);
    const uint32_t inLength = LittleEndianAt(headerBytes, 4);
    request.outLength = LittleEndianAt(headerBytes, 8);
    request.connection = connection;
    if (inLength > (64u << 20) || request.outLength > (64u << 20)) return false;
    request.input.resize(inLength);
    if (inLength != 0 && !ReadAll(fd, request.input.data(), inLength)) return false;
    if ((request.code == kUploadFlashPortCode || request.code == kUploadUploaderCode) && inLength >= 8) {
        const uint32_t count = LittleEndianAt(request.input, 4);
        if (count > (64u << 20)) return false;
        request.uploadData.resize(count);
        if (count != 0 && !ReadAll(fd, request.uploadData.data(), count)) return false;
    }
    {
        std::scoped_lock lock(mutex_);
        requests_.push_back(request);
    }
    ScriptedReply reply = ReplyFor(request);
    if (reply.disconnect) return false;
    std::vector<uint8_t> out = reply.output ? *reply.output : request.input;
    out.resize(request.outLength, 0);
    std::vector<uint8_t> message;
    PutLe(message, reply.ok ? 1u : 0u);
    PutLe(message, reply.ok ? 0u : reply.error);
    PutLe(message, reply.bytesReturned ? *reply.bytesReturned : request.outLength);
    message.insert(message.end(), out.begin(), out.end());
    return Move(fd, message.data(), message.size(), true);
}

void RequestRecorder::Serve() {
    struct Client { int fd, number; };
    std::vector<Client> clients;
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({wakePipe_[0], POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        for (const Client& client : clients) fds.push_back({client.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents != 0) break;
        if (fds[1].revents & POLLIN) {
            int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                std::scoped_lock lock(mutex_);
                clients.push_back({fd, ++connections_});
                ++openConnections_;
            }
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            Client& client = clients[i - 2];
            if (!ServeOne(client.fd, client.number)) {
                close(client.fd);
                client.fd = -1;
                std::scoped_lock lock(mutex_);
                --openConnections_;
            }
        }
        std::erase_if(clients, [](const Client& c) { return c.fd < 0; });
    }
    for (const Client& client : clients) close(client.fd);
}

}  // namespace loric::test
