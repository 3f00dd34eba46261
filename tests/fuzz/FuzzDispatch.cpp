// Any input report, at any stage of a transfer and during the version query.
// Input: [stage selector][where][64 report bytes after the report id].
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "FuzzSupport.h"
#include "hid/Log.h"
#include "hid/sim/SimPort.h"
#include "update/UpdateEngine.h"

namespace {

struct World {
    zevrin::sim::SimPort port;
    zevrin::fuzz::NullView view;
    CUpdateEngine engine{port, view};
    int pad = 0;

    World() {
        zevrin::SetLogSink({});
        zevrin::sim::GamepadBehaviour b;
        b.answersVersion = false;  // the fuzzer's frame decides
        pad = port.AddGamepad("pad", b);
        engine.Hid().FindDevice();
        EngineLimits limits;
        limits.versionQuery = std::chrono::milliseconds(200);
        engine.SetLimits(limits);
        // A valid image for the data requests to read from.
        const auto path = std::filesystem::temp_directory_path() / "zevrin-fuzz-image.dat";
        std::FILE* f = std::fopen(path.string().c_str(), "wb");
        uint8_t bytes[28 + 96] = {0x78, 0, 0, 0, 0, 0, 0, 0, 96};
        for (size_t i = 28; i < sizeof bytes; ++i) {
            bytes[i] = static_cast<uint8_t>(i);
        }
        std::fwrite(bytes, 1, sizeof bytes, f);
        std::fclose(f);
        view.file = path.string();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static World w;
    if (size < 2) {
        return 0;
    }
    const int stage = data[0] % 5;  // 0 (none), the three stages, and 4 (no such stage)
    const bool duringQuery = (data[1] & 1) != 0;
    std::array<uint8_t, zevrin::kReportPayload> report{};
    std::memcpy(report.data(), data + 2, std::min(size - 2, report.size()));

    w.engine.Hid().OpenDevice();
    g_StopThread = 0;
    g_UpdateStage = stage;
    if (stage >= STAGE_HEADER_SENT && stage <= STAGE_COMPLETE) {
        w.engine.SelectFirmwareFile();  // a header read, so a transfer can proceed
        g_UpdateStage = stage;
    }
    if (duringQuery) {
        w.port.InjectInput(w.pad, report);
        // Then the answer, so the query ends without waiting out a time-out.
        w.port.InjectFrame(w.pad, {0x00, MSG_UPDATE, 0x07, 0x00, EVT_VERSION, 4, 0, 110, 0, 0, 0});
        w.engine.QueryDeviceVersion();
    } else {
        DispatchFrame(report.data() + 1, w.engine);
    }
    w.engine.StopRoutine();
    return 0;
}
