// zevrin-flash's argument parser over any argument vector (arguments separated by NUL bytes).
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "cli/Args.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.emplace_back();
        } else {
            args.back().push_back(static_cast<char>(data[i]));
        }
    }
    const auto parsed = zevrin::cli::ParseArgs(args);
    if (const auto* error = std::get_if<zevrin::cli::UsageError>(&parsed);
        error != nullptr && error->message.empty()) {
        __builtin_trap();  // every usage error says what is wrong
    }
    return 0;
}
