// The senders and the dispatch: how many reports per second the host can frame and hand to a
// device, and how fast it takes incoming frames apart. A gamepad on full-speed USB takes one
// report per 1 ms interval, so anything far above 1000/s is headroom.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "BenchSupport.h"
#include "hid/Log.h"
#include "update/Frames.h"
#include "update/UpdateEngine.h"

namespace {

using zevrin::bench::AnsweringView;
using zevrin::bench::NullPort;

// An engine whose CHid is open on the null device, handed to the senders.
// The log goes nowhere, as in a quiet zevrin-flash: a terminal would be what gets measured.
struct NullDevice {
    zevrin::LogSink previous = zevrin::SetLogSink({});
    NullPort port;
    AnsweringView view;
    CUpdateEngine engine{port, view};
    NullDevice() {
        engine.Hid().FindDevice();
        engine.Hid().OpenDevice();
    }
    ~NullDevice() { zevrin::SetLogSink(previous); }
    NullDevice(const NullDevice&) = delete;
    NullDevice& operator=(const NullDevice&) = delete;
};

void BM_SendDataChunk(benchmark::State& state) {
    NullDevice d;
    uint8_t chunk[kChunkSize];
    for (size_t i = 0; i < kChunkSize; ++i) {
        chunk[i] = static_cast<uint8_t>(i * 7);
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            SendFirmwarePacket(d.engine.Hid(), CMD_FIRMWARE_DATA, chunk, kChunkSize));
    }
    state.SetItemsProcessed(static_cast<int64_t>(d.port.Reports()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kChunkSize));
    state.counters["reports_per_chunk"] =
        static_cast<double>(d.port.Reports()) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_SendDataChunk);

void BM_SendHeader(benchmark::State& state) {
    NullDevice d;
    uint8_t header[kFirmwareHeaderSize] = {0x78, 0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0, 0, 1, 0};
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            SendFirmwarePacket(d.engine.Hid(), CMD_FIRMWARE_HEADER, header, kFirmwareHeaderSize));
    }
    state.SetItemsProcessed(static_cast<int64_t>(d.port.Reports()));
}
BENCHMARK(BM_SendHeader);

void BM_SendPoll(benchmark::State& state) {
    NullDevice d;
    for (auto _ : state) {
        benchmark::DoNotOptimize(SendShortMessage(d.engine.Hid(), MSG_POLL, 0));
    }
    state.SetItemsProcessed(static_cast<int64_t>(d.port.Reports()));
}
BENCHMARK(BM_SendPoll);

// Counts what the dispatch hands on, so the benchmark times the dispatch and nothing else.
class CountingHandlers final : public FrameHandlers {
  public:
    void OnDeviceInfo(const uint8_t*, size_t) override { info++; }
    void OnUpdateEvent(const uint8_t* body, size_t) override { events += body[0]; }
    uint64_t info = 0;
    uint64_t events = 0;
};

void BM_DispatchDataRequest(benchmark::State& state) {
    uint8_t frame[kInputFrameBytes] = {0x00, MSG_UPDATE, 0x01, 0x00, SET_FIRMWARE_DATA};
    CountingHandlers h;
    for (auto _ : state) {
        DispatchFrame(frame, h);
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(h.events);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DispatchDataRequest);

}  // namespace
