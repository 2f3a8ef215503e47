// The serial adapter: exact reply bytes for each command, and over the
// pseudo-terminal its node, framing and paced replies.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "sim_test_util.h"
#include "support/golden.h"
#include "tqsim/system.h"

namespace {

using Bytes = std::vector<uint8_t>;

class AdapterFrames : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim_.InstallFirmware(simtest::Image("firmware.bin"), simtest::Image("config.bin")));
        sim_.Reboot();
    }
    tqsim::System sim_;
};

// adapter_frames.txt: "what|frame|reply" a line, bytes in hex; each reply is made again and the
// file compared whole.
TEST_F(AdapterFrames, RepliesByteForByte) {
    std::string got;
    for (const auto& c : simtest::Cases("adapter_frames.txt"))
        got += c.at(0) + "|" + c.at(1) + "|" + simtest::ToHex(sim_.AdapterFrame(simtest::FromHex(c[1]))) + "\n";
    loric::test::ExpectGolden("sim/adapter_frames.txt", got);
}

// ---- Over the pseudo-terminal -------------------------------------------------------------

class AdapterTerminal : public AdapterFrames {
protected:
    void Start(const tqsim::AdapterOptions& o = {}) {
        path_ = sim_.StartSerialAdapter(o);
        ASSERT_FALSE(path_.empty());
        fd_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override {
        if (fd_ >= 0) ::close(fd_);
    }
    void Send(const Bytes& b) { ASSERT_EQ(::write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
    // Reads until `count` bytes came or `ms` passed.
    Bytes Receive(size_t count, int ms) {
        Bytes out;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (out.size() < count && std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0) continue;
            uint8_t buf[256];
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) out.insert(out.end(), buf, buf + n);
        }
        return out;
    }
    std::string path_;
    int fd_ = -1;
};

TEST_F(AdapterTerminal, LocalNodeAndFraming) {
    Start();
    Send({0x07, 0x02});
    EXPECT_EQ(Receive(4, 2000), (Bytes{0x07, 0x04, 0xFF, 0xC1})) << "the adapter's own node, most significant first";
    // After a device reset the device comes back behind the adapter.
    sim_.ResetDevice();
    Send({0x07, 0x02});
    EXPECT_EQ(Receive(4, 2000), (Bytes{0x07, 0x04, 0xFF, 0xC0}));
    // Two frames in one write: two replies in order; then one frame in three writes.
    Send({0x06, 0x02, 0x02, 0x07, 1, 2, 3, 4, 5});
    EXPECT_EQ(Receive(9, 2000), (Bytes{0x06, 0x02, 0x02, 0x07, 1, 2, 3, 4, 5}));
    Send({0x02});
    Send({0x07, 1, 2});
    EXPECT_TRUE(Receive(1, 50).empty());
    Send({3, 4, 5});
    EXPECT_EQ(Receive(7, 2000), (Bytes{0x02, 0x07, 1, 2, 3, 4, 5}));
    // A frame never finished is forgotten after a pause.
    Send({0x02, 0x07, 1});
    EXPECT_TRUE(Receive(1, 400).empty());
    Send({0x06, 0x02});
    EXPECT_EQ(Receive(2, 2000), (Bytes{0x06, 0x02}));
    sim_.StopSerialAdapter();
    EXPECT_EQ(sim_.Nodes()[1].name, "host") << "the host's controller is back on the bus";
}

TEST_F(AdapterTerminal, PacedLineTakesTenBitTimesABytePerFrameAndReply) {
    Start({true, ""});
    Bytes echo(128, 0x5A);
    echo[0] = 0x02;
    echo[1] = 128;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 4; ++i) {
        Send(echo);
        ASSERT_EQ(Receive(128, 2000), echo);
    }
    // 4 x 256 bytes at 11520 bytes a second.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(4 * 256 * 1000000 / 11520));
}

}  // namespace
