// Upload throughput over the serial link against the simulated adapter, whose line is paced
// at 115200 baud both ways. Counters:
//   payload_Bps     image bytes programmed per second
//   line_fraction   time the line needs for every byte sent and received (10 bits a byte at
//                   115200 baud, frame by frame, since each frame waits for its reply)
//                   divided by the time taken: 1.0 would be a line that never idles.
//   frames          adapter transactions per iteration
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/registers.h"
#include "link/serial_link.h"
#include "tqsim/images.h"
#include "tqsim/system.h"

namespace {

using loric::SerialLink;

constexpr double kLineBytesPerSecond = 115200.0 / 10.0;
// Bytes on the line for one quadlet write: a 20-byte frame out, a 4-byte reply back.
constexpr double kWriteTransactionBytes = 20 + 4;

struct Bench {
    tqsim::System sim;
    std::unique_ptr<SerialLink> link;
    loric::FLASH_COMMAND_SET commandSet{};

    explicit Bench(bool blank) {
        if (!blank) {
            tqsim::image::BuildOptions firmware;
            sim.InstallFirmware(tqsim::image::Build(firmware),
                                tqsim::image::BuildConfigImage(0x123456, 0x01, 0x2345));
            sim.ResetDevice();
        }
        tqsim::AdapterOptions options;
        options.paced = true;
        const std::string path = sim.StartSerialAdapter(options);
        link = std::make_unique<SerialLink>(path.c_str());
        link->SetTargetNode(sim.DeviceNodeId());
        const tqsim::ChipGeometry chip = sim.Chip();
        commandSet = loric::FLASH_COMMAND_SET::BuiltIn(chip.commandSet, chip.busWidth);
    }
};

using Clock = std::chrono::steady_clock;

void ReportLine(benchmark::State& state, Clock::duration elapsed, double transactionsPerIteration,
                double lineBytesPerIteration, double payloadPerIteration) {
    const double iterations = static_cast<double>(state.iterations());
    const double seconds = std::chrono::duration<double>(elapsed).count();
    if (seconds <= 0) return;
    state.counters["frames"] = transactionsPerIteration;
    state.counters["payload_Bps"] = payloadPerIteration * iterations / seconds;
    state.counters["line_fraction"] =
        lineBytesPerIteration * iterations / kLineBytesPerSecond / seconds;
}

// Upload mode: one quadlet write transaction per 4 image bytes.
void BM_SerialUploadMode(benchmark::State& state) {
    Bench bench(false);
    SerialLink& link = *bench.link;
    using namespace loric;
    if (!link.WriteQuadletCommand(REGISTER_OFFSET_HIGH, CSR_MODE_CTRL, MODE_EDIT)) {
        state.SkipWithError("MODE_EDIT refused");
        return;
    }
    for (uint32_t word : bench.commandSet.words)
        link.WriteQuadletCommand(REGISTER_OFFSET_HIGH, CSR_UPLOAD_COMMAND_SET_CTRL, word);

    const uint32_t bytes = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> data(bytes);
    for (uint32_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    const Clock::time_point start = Clock::now();
    for (auto _ : state) {
        if (!link.WriteQuadletCommand(REGISTER_OFFSET_HIGH, FLASH_UPLOAD_CTRL, 0) ||
            !link.UploadBlock(false, {0, bytes, data.data(), 0})) {
            state.SkipWithError("upload failed");
            return;
        }
    }
    const Clock::duration elapsed = Clock::now() - start;
    const double frames = 1 + bytes / 4.0;
    ReportLine(state, elapsed, frames, frames * kWriteTransactionBytes, bytes);
}
BENCHMARK(BM_SerialUploadMode)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime();

// Flash port: every byte (or word) costs three writes per program pair and the programming
// delay (1 ms at the least).
void BM_SerialFlashPort(benchmark::State& state) {
    Bench bench(true);
    SerialLink& link = *bench.link;
    if (!link.SetFlashCommandSet(bench.commandSet)) {
        state.SkipWithError("command set refused");
        return;
    }
    link.SetByteProgramDelay(20);
    const uint32_t bytes = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> data(bytes, 0x5A);
    const Clock::time_point start = Clock::now();
    for (auto _ : state) {
        if (!link.UploadBlock(true, {0, bytes, data.data(), 0})) {
            state.SkipWithError("flash port upload failed");
            return;
        }
    }
    const Clock::duration elapsed = Clock::now() - start;
    const uint32_t unit = bench.commandSet.Is16Bit() ? 2 : 1;
    const double cycles = static_cast<double>(bytes / unit) * bench.commandSet.ProgramCount() +
                          (bench.commandSet.UnlockCount() != 0
                               ? bench.commandSet.UnlockCount() + bench.commandSet.ResetCount()
                               : 0);
    const double frames = cycles * 3;
    ReportLine(state, elapsed, frames, frames * kWriteTransactionBytes, bytes);
}
BENCHMARK(BM_SerialFlashPort)->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
