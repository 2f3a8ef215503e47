// The kernel driver's ten I/O control requests, carried out on the simulated bus, and the Unix
// socket that carries them (one exchange per request, numbers little-endian):
//   request: code, inLength, outLength, inLength bytes; for the two upload codes the 16-byte
//            request is followed by its byteCount data bytes.
//   reply:   ok (1/0), error (Windows error number or 0), bytesReturned, outLength bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tqsim/bus.h"
#include "tqsim/clock.h"
#include "tqsim/registers.h"

namespace tqsim {

namespace ioctl {
inline constexpr uint32_t kGetNodeList = 0x222190;
inline constexpr uint32_t kSetTargetNode = 0x222194;
inline constexpr uint32_t kUploadFlashPort = 0x222198;
inline constexpr uint32_t kUploadUploader = 0x22219C;
inline constexpr uint32_t kEraseSector = 0x2221A0;
inline constexpr uint32_t kReset = 0x2221A4;
inline constexpr uint32_t kSetCommandSet = 0x2221A8;
inline constexpr uint32_t kSetByteProgramDelay = 0x2221AC;
inline constexpr uint32_t kAsyncRead = 0x222008;
inline constexpr uint32_t kAsyncWrite = 0x22200C;
const char* Name(uint32_t code);
}  // namespace ioctl

struct DriverReply {
    bool ok = false;
    uint32_t error = 0;
    uint32_t bytesReturned = 0;
    std::vector<uint8_t> out;  // exactly outLength bytes
    bool hangUp = false;       // close the connection instead of answering
};

class Driver {
public:
    Driver(Bus& bus, Clock& clock) : bus_(bus), clock_(clock) {}

    // One request. `uploadData` holds the data bytes of the two upload codes.
    DriverReply Handle(uint32_t code, const std::vector<uint8_t>& in, uint32_t outLength,
                       const std::vector<uint8_t>& uploadData);

    uint16_t TargetNode() const { return target_; }
    bool HasCommandSet() const { return haveSet_; }
    const reg::CommandSet& CommandSet() const { return set_; }
    uint32_t ByteProgramDelayUs() const { return delayUs_; }
    uint64_t Requests() const { return requests_; }

    // One line per request.
    void SetLog(std::function<void(const std::string&)> log) { log_ = std::move(log); }

private:
    uint32_t PortPairs(unsigned first, unsigned count, bool replaceLast, uint32_t address,
                       uint32_t data);
    uint32_t FlashPortUpload(uint32_t flashAddress, const std::vector<uint8_t>& data);
    uint32_t Async(bool write, std::vector<uint8_t>& block);

    Bus& bus_;
    Clock& clock_;
    uint16_t target_ = reg::NodeIdOf(0);
    reg::CommandSet set_;
    bool haveSet_ = false;
    uint32_t delayUs_ = 0;
    uint64_t requests_ = 0;
    std::function<void(const std::string&)> log_;
};

// Serves the driver protocol on a Unix stream socket, one thread per connection. Requests are
// handed to `handler`, which must be safe to call from those threads.
class DriverServer {
public:
    using Handler =
        std::function<DriverReply(uint32_t code, const std::vector<uint8_t>& in, uint32_t outLength,
                                  const std::vector<uint8_t>& data)>;
    explicit DriverServer(Handler handler) : handler_(std::move(handler)) {}
    ~DriverServer() { Stop(); }
    DriverServer(const DriverServer&) = delete;
    DriverServer& operator=(const DriverServer&) = delete;

    // Binds (replacing a stale socket file) and starts accepting. False with a reason on error.
    bool Start(const std::string& path, std::string* error = nullptr);
    // Stops accepting, drops every connection, removes the socket file.
    void Stop();
    const std::string& Path() const { return path_; }
    int Connections() const { return connections_.load(); }
    // In the handler: the connection of the request, numbered from 1 in the order accepted.
    static int CurrentConnection();

private:
    void AcceptLoop();
    void Serve(int fd, int number);

    Handler handler_;
    std::string path_;
    int listenFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    int accepted_ = 0;
    std::thread acceptThread_;
    std::mutex mu_;
    std::list<std::thread> workers_;
    std::vector<int> fds_;
};

// A client of the driver socket, for tests and tools that speak the protocol by hand.
class DriverClient {
public:
    ~DriverClient() { Close(); }
    bool Connect(const std::string& path);
    void Close();
    bool Connected() const { return fd_ >= 0; }
    // Sends one request and reads its reply. False when the connection broke.
    bool Request(uint32_t code, const std::vector<uint8_t>& in, uint32_t outLength,
                 DriverReply* reply, const std::vector<uint8_t>& uploadData = {});
    // Sends raw bytes (to test malformed requests) and reads one reply for outLength bytes.
    bool SendRaw(const std::vector<uint8_t>& bytes);
    bool ReadReply(uint32_t outLength, DriverReply* reply);

private:
    int fd_ = -1;
};

}  // namespace tqsim
