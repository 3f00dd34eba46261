// A whole update of a 64 KiB image through CUpdateDlg against the simulated gamepad answering at
// once: the worker thread, the senders, the dispatch, the stages, the file reads and the progress
// calls, with nothing left to wait for. The time per chunk is what the host (plus the simulated
// device's own bookkeeping) adds to each 32-byte step; the figure that matters is its share of the
// 10 ms the worker waits before it polls a silent device.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "app/UpdateDlg.h"
#include "hid/Log.h"
#include "hid/sim/SimPort.h"

namespace {

constexpr size_t kImageBytes = 64 * 1024;
constexpr double kPollIntervalUs = 10'000.0;

void BM_SimulatedUpdate64K(benchmark::State& state) {
    const zevrin::LogSink previous = zevrin::SetLogSink([](std::string_view) {});
    const auto path = std::filesystem::temp_directory_path() / "zevrin-bench-update.dat";
    {
        std::vector<char> bytes(kFirmwareHeaderSize + kImageBytes);
        for (size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<char>(i * 31);
        }
        WriteLe32(reinterpret_cast<uint8_t*>(bytes.data()), 120);
        WriteLe32(reinterpret_cast<uint8_t*>(bytes.data()) + 8, kImageBytes);
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<long>(bytes.size()));
    }

    zevrin::sim::SimPort port;
    const int pad = port.AddGamepad("pad");
    zevrin::bench::AnsweringView view(path.string());
    CUpdateDlg dlg(port, view);
    dlg.OnInitDialog();

    const size_t chunks = (kImageBytes + kChunkSize - 1) / kChunkSize;
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        dlg.OnBnClickedUsbUpdate();
        dlg.WaitForWorker();
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (dlg.Outcome() != UpdateOutcome::Success) {
            state.SkipWithError("the simulated update did not succeed");
            break;
        }
        state.PauseTiming();
        port.ClearRecording(pad);  // the recording would otherwise grow with every iteration
        state.ResumeTiming();
    }
    const double perChunkUs =
        seconds * 1e6 / (static_cast<double>(state.iterations()) * static_cast<double>(chunks));
    state.counters["chunks"] = static_cast<double>(chunks);
    state.counters["us_per_chunk"] = perChunkUs;
    state.counters["pct_of_10ms_poll"] = 100.0 * perChunkUs / kPollIntervalUs;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImageBytes));
    std::filesystem::remove(path);
    zevrin::SetLogSink(previous);
}
BENCHMARK(BM_SimulatedUpdate64K)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
