// Any file as a firmware image: the header reader, the checks, and the confirmation.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "FuzzSupport.h"
#include "hid/Log.h"
#include "hid/sim/SimPort.h"
#include "update/FirmwareImage.h"
#include "update/UpdateEngine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path =
        (std::filesystem::temp_directory_path() / "zevrin-fuzz-file.dat").string();
    static zevrin::sim::SimPort port;
    static zevrin::fuzz::NullView view;
    static CUpdateEngine* engine = [] {
        zevrin::SetLogSink({});
        port.AddGamepad("pad");
        auto* e = new CUpdateEngine(port, view);
        e->Hid().FindDevice();
        e->Hid().OpenDevice();
        view.file = path;
        return e;
    }();

    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return 0;
    }
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    const ImageCheck check = InspectImage(path);
    const bool sendable = check.problem == ImageProblem::None;
    if (sendable !=
        (size >= 28 && check.header.imageLength != 0 && size - 28 >= check.header.imageLength)) {
        __builtin_trap();  // the checks disagree with the file
    }
    (void)FormatVersion(check.header.desVersion);
    port.ClearRecording(1);
    const int sent = engine->SelectFirmwareFile();
    if (sent != (sendable ? 1 : 0) || port.RecordingOf(1).headerReceived != sendable) {
        __builtin_trap();  // a refused file reached the device, or a good one did not
    }
    return 0;
}
