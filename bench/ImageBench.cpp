// The image check that runs before anything reaches the device: it reads the whole file, so its
// cost grows with the image. Measured for a 64 KiB image (a typical gamepad flash) and 1 MiB.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "update/FirmwareImage.h"

namespace {

std::string WriteImage(size_t dataBytes) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("zevrin-bench-" + std::to_string(dataBytes) + ".dat");
    std::vector<char> bytes(kFirmwareHeaderSize + dataBytes, 0x5A);
    WriteLe32(reinterpret_cast<uint8_t*>(bytes.data()), 120);
    WriteLe32(reinterpret_cast<uint8_t*>(bytes.data()) + 8, static_cast<uint32_t>(dataBytes));
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<long>(bytes.size()));
    return path.string();
}

void BM_InspectImage(benchmark::State& state) {
    const auto dataBytes = static_cast<size_t>(state.range(0));
    const std::string path = WriteImage(dataBytes);
    for (auto _ : state) {
        const ImageCheck check = InspectImage(path);
        if (check.problem != ImageProblem::None) {
            state.SkipWithError("the sample image was refused");
            break;
        }
        benchmark::DoNotOptimize(check.dataBytes);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kFirmwareHeaderSize + dataBytes));
    std::filesystem::remove(path);
}
BENCHMARK(BM_InspectImage)->Arg(64 * 1024)->Arg(1024 * 1024)->Unit(benchmark::kMicrosecond);

}  // namespace
