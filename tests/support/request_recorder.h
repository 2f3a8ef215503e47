// Test stand-in for the kernel driver: listens on a temporary Unix socket (BRENNOCK_SOCKET
// points at it while the recorder lives), serves the driver socket protocol on a background
// thread, records every request and answers from a script.
//
// Replies, in order of precedence for each request:
//   1. the handler set with SetHandler, when it returns a reply;
//   2. the next reply queued for the request's code with Queue / FailNext;
//   3. the standing reply for the code set with SetDefault / FailAlways;
//   4. success, the output buffer being the input bytes (zero-padded or cut to outLength):
//      an asynchronous request comes back unchanged, a node list reads 0 nodes.
// Register values for quadlet reads: SetReadValue(offsetLow, value) answers every read of
// that offset (any node) with the value, in bus byte order.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "loric.h"

namespace loric::test {

struct RecordedRequest {
    uint32_t code = 0;
    std::vector<uint8_t> input;       // the inLength input bytes, as sent
    std::vector<uint8_t> uploadData;  // the data bytes after an upload request
    uint32_t outLength = 0;
    int connection = 0;               // 1 for the first connection, 2 for the next...
};

struct ScriptedReply {
    bool ok = true;
    uint32_t error = 0;                    // sent when !ok
    std::optional<std::vector<uint8_t>> output;  // unset: echo the input; shorter: zero-padded
    std::optional<uint32_t> bytesReturned;       // unset: outLength
    bool disconnect = false;               // close the connection instead of answering

    static ScriptedReply Failure(uint32_t error) { ScriptedReply r; r.ok = false; r.error = error; return r; }
    static ScriptedReply Disconnect() { ScriptedReply r; r.disconnect = true; return r; }
    // A node list reply: count, then the records.
    static ScriptedReply NodeList(const std::vector<NODE_INFO>& nodes);
    // An asynchronous read reply for `request` with `value` in the data area (bus order).
    static ScriptedReply QuadletRead(const RecordedRequest& request, uint32_t value);
};

// An asynchronous request decoded from its recorded bytes.
struct AsyncTransaction {
    bool write = false;
    uint16_t nodeId = 0;
    uint16_t offsetHigh = 0;
    uint32_t offsetLow = 0;
    uint32_t byteCount = 0;
    uint32_t value = 0;  // the first data quadlet as a host number (writes)
};

class RequestRecorder {
public:
    RequestRecorder();
    ~RequestRecorder();
    RequestRecorder(const RequestRecorder&) = delete;
    RequestRecorder& operator=(const RequestRecorder&) = delete;

    const std::string& SocketPath() const { return socketPath_; }

    using Handler = std::function<std::optional<ScriptedReply>(const RecordedRequest&)>;
    void SetHandler(Handler handler);
    void Queue(uint32_t code, ScriptedReply reply);
    void FailNext(uint32_t code, uint32_t error) { Queue(code, ScriptedReply::Failure(error)); }
    void SetDefault(uint32_t code, ScriptedReply reply);
    void FailAlways(uint32_t code, uint32_t error) { SetDefault(code, ScriptedReply::Failure(error)); }
    void SetReadValue(uint32_t offsetLow, uint32_t value);
    void ClearScript();

    std::vector<RecordedRequest> Requests() const;
    std::vector<RecordedRequest> RequestsWithCode(uint32_t code) const;
    // The asynchronous reads and writes among the requests, in order.
    std::vector<AsyncTransaction> Transactions() const;
    void ClearRequests();
    // Connections are counted when the stand-in accepts them: reliable once a request
    // has come over the connection.
    int Connections() const;
    int OpenConnections() const;

    static std::optional<AsyncTransaction> Decode(const RecordedRequest& request);

private:
    void Serve();
    bool ServeOne(int fd, int connection);
    ScriptedReply ReplyFor(const RecordedRequest& request);

    std::string directory_;
    std::string socketPath_;
    std::optional<std::string> previousSocketEnv_;
    int listenFd_ = -1;
    int wakePipe_[2] = {-1, -1};
    std::thread thread_;

    mutable std::mutex mutex_;
    std::vector<RecordedRequest> requests_;
    Handler handler_;
    std::map<uint32_t, std::vector<ScriptedReply>> queued_;
    std::map<uint32_t, ScriptedReply> defaults_;
    std::map<uint32_t, uint32_t> readValues_;
    int connections_ = 0;
    int openConnections_ = 0;
};

// Little-endian helpers for building and checking request bytes.
std::vector<uint8_t> LittleEndianBytes(std::initializer_list<uint32_t> words);
uint32_t LittleEndianAt(const std::vector<uint8_t>& bytes, size_t offset);

}  // namespace loric::test
