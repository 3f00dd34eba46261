#include "cli/ExitCodes.h"

#include "hid/Log.h"

namespace zevrin::cli {

const ExitCodeFacts* FindExitCode(int code) {
    for (const ExitCodeFacts& facts : kExitCodes) {
        if (facts.code == code) {
            return &facts;
        }
    }
    return nullptr;
}

int ExitSeverity(int code) {
    const ExitCodeFacts* facts = FindExitCode(code);
    return facts != nullptr ? facts->severity : FindExitCode(kExitUpdateFailed)->severity;
}

std::string ExitCodesHelp() {
    std::string text = LoadCliText(CliText::HelpExitCodes) + "\n";
    for (const ExitCodeFacts& facts : kExitCodes) {
        text += Format("  %-4d ", facts.code) + LoadCliText(facts.help) + "\n";
    }
    return text;
}

}  // namespace zevrin::cli
