// info, and the check of a file before anything of it is sent.
#include <filesystem>
#include <system_error>

#include "cli/Commands.h"
#include "cli/Flash.h"
#include "cli/JsonEvents.h"
#include "cli/Sha256.h"
#include "hid/Log.h"
#include "update/FirmwareImage.h"
#include "update/Texts.h"
#include "update/UpdateEngine.h"

namespace zevrin::cli {

namespace {

std::string WhyUnopenable(const std::string& file) {
    std::error_code ec;
    const auto status =
        std::filesystem::status(std::filesystem::path(std::u8string(file.begin(), file.end())), ec);
    if (!std::filesystem::exists(status)) {
        return LoadCliText(CliText::NoSuchFile);
    }
    if (std::filesystem::is_directory(status)) {
        return LoadCliText(CliText::IsDirectory);
    }
    return LoadCliText(CliText::FileUnreadable);
}

}  // namespace

std::string CannotOpenMessage(const std::string& file) {
    return "zevrin-flash: " + LoadCliText(CliText::CannotOpenFile, {file, WhyUnopenable(file)}) +
           "\n";
}

namespace {

int ShowImageJson(const ParsedArgs& a, Console& c, CliView& view, const ImageCheck& check,
                  const std::optional<std::string>& digest) {
    json::ImageFacts facts;
    facts.file = a.file;
    facts.size = check.headerBytesRead + check.dataBytes;
    facts.headerComplete = check.headerBytesRead == kFirmwareHeaderSize;
    facts.desVersion = check.header.desVersion;
    facts.imageParam = check.header.imageParam;
    facts.imageLength = check.header.imageLength;
    facts.extraBytes =
        check.dataBytes > check.header.imageLength ? check.dataBytes - check.header.imageLength : 0;
    facts.sha256 = digest;
    if (check.problem != ImageProblem::None) {
        facts.refusal = RefusalReason(check.problem);
        view.Error(LoadLocalizedText(TextId::UpdateFailure) + "\n" + *facts.refusal + "\n");
    }
    view.Print(c.out, json::ImageEvent(facts));
    return facts.refusal ? kExitImageRefused : kExitOk;
}

std::string HeaderText(const ImageCheck& check) {
    const FirmwareHeader& h = check.header;
    std::string text = Format("Version:     %s (desVersion 0x%08x)\n",
                              FormatVersion(h.desVersion).c_str(), h.desVersion);
    text += Format("imageParam:  0x%08x\n", h.imageParam);
    text += Format("imageLength: %u bytes\n", h.imageLength);
    if (check.problem == ImageProblem::None && check.dataBytes > h.imageLength) {
        // They go out with the last chunk, as the device's loader has always received them.
        text += Format("Extra bytes: %llu after the image, sent with the last chunk\n",
                       static_cast<unsigned long long>(check.dataBytes - h.imageLength));
    }
    return text;
}

int ShowImageText(const ParsedArgs& a, Console& c, CliView& view, const ImageCheck& check,
                  const std::optional<std::string>& digest) {
    std::string text =
        Format("File:        %s\nSize:        %llu bytes\n", a.file.c_str(),
               static_cast<unsigned long long>(check.headerBytesRead + check.dataBytes));
    text += "SHA-256:     " + digest.value_or("cannot be computed: the file cannot be read") + "\n";
    if (check.headerBytesRead == kFirmwareHeaderSize) {
        text += HeaderText(check);
    }
    if (check.problem != ImageProblem::None) {
        text += "Can be sent: no: " + RefusalReason(check.problem) + "\n";
        view.Print(c.out, text);
        return kExitImageRefused;
    }
    view.Print(c.out, text + "Can be sent: yes\n");
    return kExitOk;
}

}  // namespace

int RunInfo(const ParsedArgs& a, Console& c, CliView& view) {
    const ImageCheck check = InspectImage(a.file);
    if (check.problem == ImageProblem::OpenFailed) {
        view.Error(CannotOpenMessage(a.file));
        return kExitImageRefused;
    }
    if (check.problem == ImageProblem::NotRegular) {
        view.Error(LoadLocalizedText(TextId::UpdateFailure) + "\n" + RefusalReason(check.problem) +
                   "\n");
        return kExitImageRefused;
    }
    const std::optional<std::string> digest = Sha256File(a.file);
    return a.json ? ShowImageJson(a, c, view, check, digest)
                  : ShowImageText(a, c, view, check, digest);
}

namespace {

bool DigestMatches(const ParsedArgs& a, CliView& view, ImageFile& file) {
    const std::optional<std::string> digest = Sha256File(file);
    if (!digest) {
        view.Error("zevrin-flash: " + LoadCliText(CliText::CannotReadForDigest, {a.file}) + "\n");
        return false;
    }
    if (*digest != *a.sha256) {
        view.Error("zevrin-flash: " +
                   LoadCliText(CliText::DigestMismatch, {a.file, *digest, *a.sha256}) + "\n");
        return false;
    }
    return true;
}

}  // namespace

std::optional<ImageCheck> CheckImage(const ParsedArgs& a, CliView& view, ImageFile& file) {
    ImageCheck check = InspectImage(a.file, file);
    if (check.problem == ImageProblem::OpenFailed) {
        view.Error(CannotOpenMessage(a.file));
        return std::nullopt;
    }
    if (check.problem != ImageProblem::None) {
        view.Error(LoadLocalizedText(TextId::UpdateFailure) + "\n" + RefusalReason(check.problem) +
                   "\n");
        return std::nullopt;
    }
    if (a.sha256 && !DigestMatches(a, view, file)) {
        file.Close();
        return std::nullopt;
    }
    return check;
}

}  // namespace zevrin::cli
