// The steps of zevrin-flash's commands, shared by the files that hold them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/Args.h"
#include "cli/CliView.h"
#include "hid/HidPort.h"
#include "update/FirmwareImage.h"

namespace zevrin::cli {

// A stop was asked for (Ctrl-C, a signal, the parent's stop line).
inline bool Interrupted(const Console& c) {
    return c.interrupted && c.interrupted();
}

// What is said when FILE cannot be opened, with why as far as the file system tells.
std::string CannotOpenMessage(const std::string& file);
// What is said when FILE was opened but cannot be sent: the file, why, and that nothing was sent.
std::string RefusedFileMessage(const std::string& file, ImageProblem problem);
// What is said when no gamepad is there: the one asked for by --device, or any.
std::string NoGamepadMessage(const ParsedArgs& a);

// Whether the gamepad's firmware is the file's or newer, as --only-if-newer asks; never for a
// gamepad without firmware or one that did not tell.
bool AlreadyUpToDate(uint32_t deviceVersion, uint32_t fileVersion);

// info: what the file holds and whether it can be sent.
int RunInfo(const ParsedArgs& a, Console& c, CliView& view);
// version and update, which talk to one gamepad through the dialog's engine; `device` is set to
// the gamepad it worked on, or asked for.
int RunWithDialog(const ParsedArgs& args, Console& console, CliView& view, HidPort& devices,
                  std::optional<std::string>& device);

}  // namespace zevrin::cli
