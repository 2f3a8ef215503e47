// Compact expectations for the register traffic a test's driver stand-in recorded.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "support/request_recorder.h"

namespace loric::test {

// One quadlet transaction: a write with its value, or a read.
struct Quadlet {
    bool write;
    uint16_t node;
    uint32_t offsetLow;
    uint32_t value;  // 0 for reads

    bool operator==(const Quadlet&) const = default;
};

inline Quadlet W(uint16_t node, uint32_t offsetLow, uint32_t value) { return {true, node, offsetLow, value}; }
inline Quadlet R(uint16_t node, uint32_t offsetLow) { return {false, node, offsetLow, 0}; }

inline std::ostream& operator<<(std::ostream& out, const Quadlet& q) {
    out << (q.write ? "W " : "R ") << std::hex << q.node << " " << q.offsetLow;
    if (q.write) out << " = " << q.value;
    return out << std::dec;
}

// The quadlet transactions among the recorded requests, in order. Every one of them must
// address offset high 0xFFFF with a four-byte count; anything else shows up as node 0xDEAD.
inline std::vector<Quadlet> Quadlets(const RequestRecorder& recorder) {
    std::vector<Quadlet> out;
    for (const AsyncTransaction& t : recorder.Transactions()) {
        const bool wellFormed = t.offsetHigh == 0xFFFF && t.byteCount == 4;
        out.push_back({t.write, wellFormed ? t.nodeId : uint16_t{0xDEAD}, t.offsetLow, t.write ? t.value : 0});
    }
    return out;
}

// The I/O control codes of the recorded requests, in order.
inline std::vector<uint32_t> Codes(const RequestRecorder& recorder) {
    std::vector<uint32_t> out;
    for (const RecordedRequest& r : recorder.Requests()) out.push_back(r.code);
    return out;
}

}  // namespace loric::test
