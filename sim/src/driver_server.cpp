#include <poll.h>

#include <cstring>

#include "tqsim/bytes.h"
#include "tqsim/driver.h"
#include "unix_socket.h"

namespace tqsim {

namespace {
constexpr uint32_t kMaxLength = 64u << 20;  // refuse absurd lengths instead of allocating them

using unix_socket::ReadAll;
using unix_socket::WriteAll;
thread_local int t_connection = 0;
}  // namespace

int DriverServer::CurrentConnection() { return t_connection; }

bool DriverServer::Start(const std::string& path, std::string* error) {
    Stop();
    const int fd = unix_socket::Listen(path, error);
    if (fd < 0) return false;
    path_ = path;
    listenFd_ = fd;
    stopping_ = false;
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void DriverServer::AcceptLoop() {
    while (!stopping_) {
        pollfd p{listenFd_, POLLIN, 0};
        int r = ::poll(&p, 1, 50);
        if (r <= 0) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(mu_);
        if (stopping_) {
            ::close(fd);
            break;
        }
        fds_.push_back(fd);
        ++connections_;
        workers_.emplace_back([this, fd, number = ++accepted_] { Serve(fd, number); });
    }
}

void DriverServer::Serve(int fd, int number) {
    t_connection = number;
    for (;;) {
        uint8_t header[12];
        if (!ReadAll(fd, header, sizeof header)) break;
        const uint32_t code = bytes::LoadLittleEndian32(header);
        const uint32_t inLength = bytes::LoadLittleEndian32(header + 4);
        const uint32_t outLength = bytes::LoadLittleEndian32(header + 8);
        if (inLength > kMaxLength || outLength > kMaxLength) break;  // not a sane client: hang up
        std::vector<uint8_t> in(inLength), data;
        if (inLength && !ReadAll(fd, in.data(), inLength)) break;
        if ((code == ioctl::kUploadFlashPort || code == ioctl::kUploadUploader) && inLength >= 16) {
            const uint32_t count = bytes::LoadLittleEndian32(&in[4]);
            if (count > kMaxLength) break;
            data.resize(count);
            if (count && !ReadAll(fd, data.data(), count)) break;
        }
        DriverReply reply = handler_(code, in, outLength, data);
        if (reply.hangUp) break;
        reply.out.resize(outLength);
        std::vector<uint8_t> bytes(12 + outLength);
        bytes::StoreLittleEndian32(bytes.data(), reply.ok ? 1 : 0);
        bytes::StoreLittleEndian32(bytes.data() + 4, reply.ok ? 0 : reply.error);
        bytes::StoreLittleEndian32(bytes.data() + 8, reply.bytesReturned);
        if (outLength) std::memcpy(bytes.data() + 12, reply.out.data(), outLength);
        if (!WriteAll(fd, bytes.data(), bytes.size())) break;
    }
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = fds_.begin(); it != fds_.end(); ++it)
        if (*it == fd) {
            fds_.erase(it);
            break;
        }
    ::close(fd);
    --connections_;
}

void DriverServer::Stop() {
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
    }
    for (auto& t : workers) t.join();
    ::unlink(path_.c_str());
}

// ---- Client -----------------------------------------------------------------------------------

bool DriverClient::Connect(const std::string& path) {
    Close();
    fd_ = unix_socket::Connect(path);
    return fd_ >= 0;
}

void DriverClient::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool DriverClient::SendRaw(const std::vector<uint8_t>& bytes) {
    return fd_ >= 0 && WriteAll(fd_, bytes.data(), bytes.size());
}

bool DriverClient::ReadReply(uint32_t outLength, DriverReply* reply) {
    uint8_t header[12];
    if (fd_ < 0 || !ReadAll(fd_, header, sizeof header)) return false;
    reply->ok = bytes::LoadLittleEndian32(header) == 1;
    reply->error = bytes::LoadLittleEndian32(header + 4);
    reply->bytesReturned = bytes::LoadLittleEndian32(header + 8);
    reply->out.assign(outLength, 0);
    return outLength == 0 || ReadAll(fd_, reply->out.data(), outLength);
}

bool DriverClient::Request(uint32_t code, const std::vector<uint8_t>& in, uint32_t outLength,
                           DriverReply* reply, const std::vector<uint8_t>& uploadData) {
    std::vector<uint8_t> bytes(12);
    bytes::StoreLittleEndian32(bytes.data(), code);
    bytes::StoreLittleEndian32(bytes.data() + 4, static_cast<uint32_t>(in.size()));
    bytes::StoreLittleEndian32(bytes.data() + 8, outLength);
    bytes.insert(bytes.end(), in.begin(), in.end());
    bytes.insert(bytes.end(), uploadData.begin(), uploadData.end());
    return SendRaw(bytes) && ReadReply(outLength, reply);
}

}  // namespace tqsim
