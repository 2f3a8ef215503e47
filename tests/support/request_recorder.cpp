#include "request_recorder.h"

#include <unistd.h>

#include <stdexcept>

#include "link/driver_link.h"
#include "platform/bytes.h"
#include "tqsim/driver.h"

namespace loric::test {

static std::string NewSocketPath() {
    static std::atomic<int> count{0};
    return "/tmp/loric-driver-" + std::to_string(getpid()) + "-" + std::to_string(++count) +
           ".sock";
}

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
    std::vector<uint8_t> output = LittleEndianBytes({static_cast<uint32_t>(nodes.size())});
    const auto* raw = reinterpret_cast<const uint8_t*>(nodes.data());
    output.insert(output.end(), raw, raw + nodes.size() * sizeof(NODE_INFO));
    return {.output = output};
}

ScriptedReply ScriptedReply::QuadletRead(const RecordedRequest& request, uint32_t value) {
    std::vector<uint8_t> output = request.input;
    output.resize(std::max<size_t>(output.size(), 40));
    bytes::StoreBigEndian32(&output[36], value);
    return {.output = output};
}

std::optional<AsyncTransaction> RequestRecorder::Decode(const RecordedRequest& request) {
    const auto& in = request.input;
    if ((request.code != IOCTL_ASYNC_READ && request.code != IOCTL_ASYNC_WRITE) || in.size() < 36)
        return std::nullopt;
    AsyncTransaction t;
    t.write = request.code == IOCTL_ASYNC_WRITE;
    t.nodeId = static_cast<uint16_t>(LittleEndianAt(in, 8));
    t.offsetHigh = static_cast<uint16_t>(LittleEndianAt(in, 12));
    t.offsetLow = LittleEndianAt(in, 16);
    t.byteCount = LittleEndianAt(in, 20);
    if (in.size() >= 40) t.value = bytes::LoadBigEndian32(&in[36]);
    return t;
}

// The simulator's server of the driver socket, answering from the script.
RequestRecorder::RequestRecorder()
    : socketPath_(NewSocketPath()), socketEnv_("BRENNOCK_SOCKET", socketPath_.c_str()) {
    server_ = std::make_unique<tqsim::DriverServer>([this](uint32_t code, const Bytes& in,
                                                           uint32_t outLength, const Bytes& data) {
        const RecordedRequest request{code, in, data, outLength,
                                      tqsim::DriverServer::CurrentConnection()};
        Locked(requests_)->push_back(request);
        const ScriptedReply reply = ReplyFor(request);
        return tqsim::DriverReply{reply.ok, reply.error, reply.bytesReturned.value_or(outLength),
                                  reply.output.value_or(in), reply.disconnect};
    });
    if (!server_->Start(socketPath_)) throw std::runtime_error("driver stand-in: cannot listen");
}

RequestRecorder::~RequestRecorder() = default;

int RequestRecorder::OpenConnections() const { return server_->Connections(); }

ScriptedReply RequestRecorder::ReplyFor(const RecordedRequest& request) {
    const Handler handler = *Locked(handler_);
    if (handler)  // called unlocked: it may script the recorder itself
        if (auto reply = handler(request)) return *reply;
    std::scoped_lock lock(mutex_);
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

}  // namespace loric::test
