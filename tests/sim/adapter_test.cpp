// The serial adapter: exact reply bytes for each command, and its paced pseudo-terminal.
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

// Over the paced pseudo-terminal every byte in and out takes ten bit times at 115200 baud.
TEST_F(AdapterFrames, PacedTerminalTakesTenBitTimesAByte) {
    const std::string path = sim_.StartSerialAdapter({true, ""});
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    auto send = [&](const Bytes& b) { ASSERT_EQ(::write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size())); };
    auto receive = [&](size_t count, int ms) {  // until `count` bytes came or `ms` passed
        Bytes out;
        for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
             out.size() < count && std::chrono::steady_clock::now() < end;) {
            pollfd p{fd, POLLIN, 0};
            uint8_t buf[256];
            const ssize_t n = ::poll(&p, 1, 10) > 0 ? ::read(fd, buf, sizeof buf) : 0;
            if (n > 0) out.insert(out.end(), buf, buf + n);
        }
        return out;
    };
    send({0x07, 0x02});
    EXPECT_EQ(receive(4, 2000), (Bytes{0x07, 0x04, 0xFF, 0xC1})) << "the adapter's own node, most significant first";
    Bytes echo(128, 0x5A);
    echo[0] = 0x02;
    echo[1] = 128;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 4; ++i) {
        send(echo);
        ASSERT_EQ(receive(128, 2000), echo);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(4 * 256 * 1000000 / 11520));
    ::close(fd);
    sim_.StopSerialAdapter();
    EXPECT_EQ(sim_.Nodes()[1].name, "host") << "the host's controller is back on the bus";
}

}  // namespace
