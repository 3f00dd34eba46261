// info, and the check of a file before anything of it is sent.
#include <filesystem>
#include <system_error>

#include "cli/Commands.h"
#include "cli/Flash.h"
#include "cli/JsonEvents.h"
#include "hid/Log.h"
#include "update/FirmwareImage.h"
#include "update/Sha256.h"
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

std::string RefusedFileMessage(const std::string& file, ImageProblem problem) {
    CliText why = CliText::NotRegularFile;
    switch (problem) {
        case ImageProblem::TooShort:
            why = CliText::FileTooShort;
            break;
        case ImageProblem::LengthZero:
            why = CliText::ImageLengthZero;
            break;
        case ImageProblem::Truncated:
            why = CliText::ImageTruncated;
            break;
        case ImageProblem::ReadError:
            why = CliText::FileReadError;
            break;
        case ImageProblem::NotRegular:
        case ImageProblem::None:
        case ImageProblem::OpenFailed:
            break;
    }
    return "zevrin-flash: " + LoadCliText(CliText::FileRefused, {file, LoadCliText(why)}) + "\n";
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
        view.Error(RefusedFileMessage(a.file, check.problem));
    }
    view.Print(c.out, json::ImageEvent(facts));
    return facts.refusal ? kExitImageRefused : kExitOk;
}

std::string HeaderText(const ImageCheck& check) {
    const FirmwareHeader& h = check.header;
    std::string text = LoadCliText(CliText::InfoVersion,
                                   {FormatVersion(h.desVersion), Format("0x%08x", h.desVersion)}) +
                       "\n";
    text += LoadCliText(CliText::InfoImageParam, {Format("0x%08x", h.imageParam)}) + "\n";
    text += LoadCliText(CliText::InfoImageLength, {std::to_string(h.imageLength)}) + "\n";
    if (check.problem == ImageProblem::None && check.dataBytes > h.imageLength) {
        // They go out with the last chunk, as the device's loader has always received them.
        text += LoadCliText(CliText::InfoExtraBytes,
                            {std::to_string(check.dataBytes - h.imageLength)}) +
                "\n";
    }
    return text;
}

int ShowImageText(const ParsedArgs& a, Console& c, CliView& view, const ImageCheck& check,
                  const std::optional<std::string>& digest) {
    std::string text = LoadCliText(CliText::InfoFile, {a.file}) + "\n";
    text +=
        LoadCliText(CliText::InfoSize, {std::to_string(check.headerBytesRead + check.dataBytes)}) +
        "\n";
    text += LoadCliText(CliText::InfoSha256,
                        {digest.value_or(LoadCliText(CliText::DigestUnavailable))}) +
            "\n";
    if (check.headerBytesRead == kFirmwareHeaderSize) {
        text += HeaderText(check);
    }
    if (check.problem != ImageProblem::None) {
        text += LoadCliText(CliText::InfoCannotBeSent, {RefusalReason(check.problem)}) + "\n";
        view.Print(c.out, text);
        return kExitImageRefused;
    }
    view.Print(c.out, text + LoadCliText(CliText::InfoCanBeSent) + "\n");
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
        view.Error(RefusedFileMessage(a.file, check.problem));
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
        view.Error(RefusedFileMessage(a.file, check.problem));
        return std::nullopt;
    }
    if (a.sha256 && !DigestMatches(a, view, file)) {
        file.Close();
        return std::nullopt;
    }
    return check;
}

}  // namespace zevrin::cli
