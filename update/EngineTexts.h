// The engine's sentences and numbers as the user reads them: captions, the confirmation, reasons
// for a refusal, the progress bar's position.
#pragma once

#include <cstdint>
#include <string>

#include "update/FirmwareImage.h"
#include "update/Texts.h"

// Text 6, the window's title; every box of the engine carries it.
std::string Title();
// "%s(GamePad V%0.2f beta%d)" / "%s(GamePad V%0.2f)" with text 6.
std::string VersionCaption(uint32_t versionWord);
// What to tell the user when the gamepad refuses to be opened: the udev rule on Linux, another
// program holding it on Windows.
ExtraText OpenRefusedAdvice();
// Why an image is refused, in the interface language; empty for None and OpenFailed.
std::string RefusalReason(ImageProblem problem);
// The confirmation text for a file and a device version word, by the four formats; a device
// version not told (pending, or none) reads as the "unknown" text instead of a number.
std::string ConfirmationText(uint32_t fileVersion, uint32_t deviceVersion);
// The progress bar's position for `sent` of `total` bytes (0..100, more for extra bytes).
uint32_t ProgressPercent(uint32_t sent, uint32_t total);
