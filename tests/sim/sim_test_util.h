// Helpers for speaking the driver socket protocol by hand in the simulator's tests.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "tqsim/system.h"

namespace simtest {

// One of the example images under sim/images.
inline std::vector<uint8_t> Image(const char* name) {
    std::ifstream in(std::string(LORIC_SOURCE_DIR) + "/sim/images/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void Put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
inline uint32_t Get32(const std::vector<uint8_t>& v, size_t at) {
    return v[at] | (v[at + 1] << 8) | (v[at + 2] << 16) | (static_cast<uint32_t>(v[at + 3]) << 24);
}
inline std::vector<uint8_t> U32(uint32_t x) {
    std::vector<uint8_t> v;
    Put32(v, x);
    return v;
}

// A 44-byte quadlet request block: header fields host order, data quadlet most significant
// byte first.
inline std::vector<uint8_t> QuadletBlock(uint16_t node, uint16_t offHigh, uint32_t offLow, uint32_t value = 0) {
    std::vector<uint8_t> b;
    Put32(b, 1);  // raw mode
    Put32(b, 1);  // get generation
    b.push_back(static_cast<uint8_t>(node));
    b.push_back(static_cast<uint8_t>(node >> 8));
    b.push_back(0);
    b.push_back(0);
    b.push_back(static_cast<uint8_t>(offHigh));
    b.push_back(static_cast<uint8_t>(offHigh >> 8));
    b.push_back(0);
    b.push_back(0);
    Put32(b, offLow);
    Put32(b, 4);
    Put32(b, 0);
    Put32(b, 0);
    Put32(b, 0);
    b.push_back(static_cast<uint8_t>(value >> 24));
    b.push_back(static_cast<uint8_t>(value >> 16));
    b.push_back(static_cast<uint8_t>(value >> 8));
    b.push_back(static_cast<uint8_t>(value));
    Put32(b, 0);  // spare
    return b;
}

// A socket path in a fresh temporary directory, removed again with the object (the server
// removes its socket file when it stops).
class TempSocket {
public:
    TempSocket() {
        char dir[] = "/tmp/tqsimXXXXXX";
        if (::mkdtemp(dir)) dir_ = dir;
    }
    ~TempSocket() {
        ::unlink(Path().c_str());
        ::rmdir(dir_.c_str());
    }
    std::string Path() const { return dir_ + "/brennock.sock"; }

private:
    std::string dir_;
};

// The driver socket, spoken by hand.
class Wire {
public:
    explicit Wire(const std::string& path) { ok_ = client_.Connect(path); }
    bool ok() const { return ok_; }
    tqsim::DriverReply Call(uint32_t code, const std::vector<uint8_t>& in, uint32_t outLength,
                            const std::vector<uint8_t>& data = {}) {
        tqsim::DriverReply r;
        if (!client_.Request(code, in, outLength, &r, data)) r.error = 0xDEAD;
        return r;
    }
    uint32_t Write(uint16_t node, uint32_t offLow, uint32_t value) {
        auto r = Call(tqsim::ioctl::kAsyncWrite, QuadletBlock(node, 0xFFFF, offLow, value), 44);
        return r.ok ? 0 : r.error;
    }
    // Returns the error; the value read (host number) in *value.
    uint32_t Read(uint16_t node, uint32_t offLow, uint32_t* value, uint16_t offHigh = 0xFFFF) {
        auto r = Call(tqsim::ioctl::kAsyncRead, QuadletBlock(node, offHigh, offLow), 44);
        if (!r.ok) return r.error;
        *value = (static_cast<uint32_t>(r.out[36]) << 24) | (r.out[37] << 16) | (r.out[38] << 8) | r.out[39];
        return 0;
    }
    tqsim::DriverClient& client() { return client_; }

private:
    tqsim::DriverClient client_;
    bool ok_ = false;
};

}  // namespace simtest
