#include "update/EngineTexts.h"

#include "hid/Log.h"
#include "update/Protocol.h"

using zevrin::Format;

std::string Title() {
    return LoadLocalizedText(TextId::Title);
}

std::string RefusalReason(ImageProblem problem) {
    switch (problem) {
        case ImageProblem::TooShort:
            return LoadExtraText(ExtraText::FileTooShort);
        case ImageProblem::LengthZero:
            return LoadExtraText(ExtraText::ImageLengthZero);
        case ImageProblem::Truncated:
            return LoadExtraText(ExtraText::ImageTruncated);
        case ImageProblem::ReadError:
            return LoadExtraText(ExtraText::FileReadError);
        case ImageProblem::NotRegular:
            return LoadExtraText(ExtraText::NotRegularFile);
        case ImageProblem::None:
        case ImageProblem::OpenFailed:
            break;
    }
    return {};
}

ExtraText OpenRefusedAdvice() {
#if defined(_WIN32)
    // HID access is not restricted per user on Windows: a refusal means another program has the
    // gamepad open, and the udev advice would be no help.
    return ExtraText::DeviceInUse;
#else
    return ExtraText::PermissionDenied;
#endif
}

std::string VersionCaption(uint32_t versionWord) {
    const uint32_t beta = versionWord >> 16;
    if (beta != 0) {
        return Format("%s(GamePad V%0.2f beta%d)", Title().c_str(), (versionWord & 0xFFFFu) / 100.0,
                      static_cast<int>(beta));
    }
    return Format("%s(GamePad V%0.2f)", Title().c_str(), versionWord / 100.0);
}

uint32_t ProgressPercent(uint32_t sent, uint32_t total) {
    // In 64 bits: sent * 100 wraps in 32 past about 42 MB and the bar would run backwards.
    return total == 0 ? 0 : static_cast<uint32_t>(uint64_t{sent} * 100u / total);
}

std::string ConfirmationText(uint32_t fileVersion, uint32_t deviceVersion) {
    const std::string label5 = LoadLocalizedText(TextId::NewFirmware);
    const std::string label15 = LoadLocalizedText(TextId::CurrentIs);
    if (deviceVersion == kVersionPending || deviceVersion == kNoVersion) {
        // The sentinels are no version: printed as one they read "231.30 beta23130".
        const std::string unknown = LoadExtraText(ExtraText::VersionUnknown);
        const int fileBeta = static_cast<int>(fileVersion >> 16);
        const double file = (fileVersion & 0xFFFFu) / 100.0;
        if (fileBeta == 0) {
            return Format("%s %.02f %s %s\n", label5.c_str(), file, label15.c_str(),
                          unknown.c_str());
        }
        return Format("%s %.02f beta%d %s %s\n", label5.c_str(), file, fileBeta, label15.c_str(),
                      unknown.c_str());
    }
    const double file = (fileVersion & 0xFFFFu) / 100.0;
    const int fileBeta = static_cast<int>(fileVersion >> 16);
    const double device = (deviceVersion & 0xFFFFu) / 100.0;
    const int deviceBeta = static_cast<int>(deviceVersion >> 16);
    if (fileBeta == 0 && deviceBeta == 0) {
        return Format("%s %.02f %s %.02f\n", label5.c_str(), file, label15.c_str(), device);
    }
    if (fileBeta == 0) {
        return Format("%s %.02f %s %.02f beta%d\n", label5.c_str(), file, label15.c_str(), device,
                      deviceBeta);
    }
    if (deviceBeta == 0) {
        return Format("%s %.02f beta%d %s %.02f\n", label5.c_str(), file, fileBeta, label15.c_str(),
                      device);
    }
    return Format("%s %.02f beta%d %s %.02f beta%d\n", label5.c_str(), file, fileBeta,
                  label15.c_str(), device, deviceBeta);
}
