// Whole updates of a 64 KiB image through CUpdateDlg against the simulated gamepad: the worker
// thread, the senders, the dispatch, the stages, the file reads and the progress calls.
//
// Answering at once, nothing is left to wait for: the time per chunk is what the host (plus the
// simulated device's own bookkeeping) adds to each 32-byte step, and the figure that matters is its
// share of the 10 ms the worker waits before it polls a silent device.
//
// Answering after 1 ms, as a gamepad on full-speed USB does at best, the transfer should take
// little more than 1 ms per chunk: transfer_efficiency is the time taken over chunks x 1 ms, and
// anything far above 1 means the host sits on answers that have already arrived.
#include <benchmark/benchmark.h>
#include <sys/prctl.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "hid/Log.h"
#include "hid/sim/SimPort.h"
#include "update/UpdateDlg.h"

namespace {

constexpr size_t kImageBytes = 64 * 1024;
constexpr size_t kChunks = (kImageBytes + kChunkSize - 1) / kChunkSize;
constexpr double kPollIntervalUs = 10'000.0;

// The sample image, for as long as the benchmark runs.
class SampleImage {
  public:
    SampleImage() {
        std::vector<char> bytes(kFirmwareHeaderSize + kImageBytes);
        for (size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<char>(i * 31);
        }
        WriteLe32(reinterpret_cast<uint8_t*>(bytes.data()), 120);
        WriteLe32(reinterpret_cast<uint8_t*>(bytes.data()) + 8, kImageBytes);
        std::ofstream(m_Path, std::ios::binary)
            .write(bytes.data(), static_cast<long>(bytes.size()));
    }
    ~SampleImage() { std::filesystem::remove(m_Path); }
    SampleImage(const SampleImage&) = delete;
    SampleImage& operator=(const SampleImage&) = delete;
    std::string Path() const { return m_Path.string(); }

  private:
    std::filesystem::path m_Path =
        std::filesystem::temp_directory_path() / "zevrin-bench-update.dat";
};

// Runs one whole update per iteration against a gamepad behaving as told; the seconds they took
// all together, or a negative number when one did not succeed.
double TimeUpdates(benchmark::State& state, const zevrin::sim::GamepadBehaviour& behaviour) {
    const zevrin::LogSink previous = zevrin::SetLogSink({});  // as a quiet zevrin-flash
    const SampleImage image;
    zevrin::sim::SimPort port;
    const int pad = port.AddGamepad("pad", behaviour);
    zevrin::bench::AnsweringView view(image.Path());
    CUpdateDlg dlg(port, view);
    dlg.OnInitDialog();

    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        dlg.OnBnClickedUsbUpdate();
        dlg.WaitForWorker();
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (dlg.Outcome() != UpdateOutcome::Success) {
            state.SkipWithError("the simulated update did not succeed");
            seconds = -1;
            break;
        }
        state.PauseTiming();
        port.ClearRecording(pad);  // the recording would otherwise grow with every iteration
        state.ResumeTiming();
    }
    state.counters["chunks"] = static_cast<double>(kChunks);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImageBytes));
    zevrin::SetLogSink(previous);
    return seconds;
}

void BM_SimulatedUpdate64K(benchmark::State& state) {
    const double seconds = TimeUpdates(state, {});
    if (seconds < 0) {
        return;
    }
    const double perChunkUs =
        seconds * 1e6 / (static_cast<double>(state.iterations()) * static_cast<double>(kChunks));
    state.counters["us_per_chunk"] = perChunkUs;
    state.counters["pct_of_10ms_poll"] = 100.0 * perChunkUs / kPollIntervalUs;
}
BENCHMARK(BM_SimulatedUpdate64K)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TransferEfficiencyAt1ms(benchmark::State& state) {
    // A real answer wakes the reader through the USB interrupt; the simulated one through a timed
    // wait, whose default slack (50 us) would be counted against the host. Threads started from
    // here on, the worker among them, inherit the setting.
    const int slack = prctl(PR_GET_TIMERSLACK);
    prctl(PR_SET_TIMERSLACK, 1UL);
    zevrin::sim::GamepadBehaviour behaviour;
    behaviour.latency = std::chrono::milliseconds(1);
    const double seconds = TimeUpdates(state, behaviour);
    prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack));
    if (seconds < 0) {
        return;
    }
    state.counters["transfer_efficiency"] =
        seconds / (static_cast<double>(state.iterations()) * static_cast<double>(kChunks) * 1e-3);
}
BENCHMARK(BM_TransferEfficiencyAt1ms)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
