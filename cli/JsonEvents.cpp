#include "cli/JsonEvents.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "cli/ExitCodes.h"
#include "hid/Log.h"
#include "update/FirmwareImage.h"
#include "update/Texts.h"

namespace zevrin::cli::json {

namespace {

// The keys and event names, written here once for the lines written and the lines read back.
namespace key {
constexpr const char* kEvent = "event";
constexpr const char* kDevice = "device";
constexpr const char* kVendor = "vendor";
constexpr const char* kProduct = "product";
constexpr const char* kWord = "word";
constexpr const char* kVersion = "version";
constexpr const char* kFile = "file";
constexpr const char* kSize = "size";
constexpr const char* kDesVersion = "desVersion";
constexpr const char* kImageParam = "imageParam";
constexpr const char* kImageLength = "imageLength";
constexpr const char* kExtraBytes = "extraBytes";
constexpr const char* kSha256 = "sha256";
constexpr const char* kCanBeSent = "canBeSent";
constexpr const char* kReason = "reason";
constexpr const char* kOldVersion = "oldVersion";
constexpr const char* kNewVersion = "newVersion";
constexpr const char* kTotal = "total";
constexpr const char* kSent = "sent";
constexpr const char* kExitCode = "exitCode";
constexpr const char* kMeaning = "meaning";
constexpr const char* kSeconds = "seconds";
}  // namespace key

namespace name {
constexpr const char* kDevice = "device";
constexpr const char* kVersion = "version";
constexpr const char* kImage = "image";
constexpr const char* kStart = "start";
constexpr const char* kProgress = "progress";
constexpr const char* kSkipped = "skipped";
constexpr const char* kResult = "result";
}  // namespace name

// Keys in the order a person reading the line expects them.
using Object = nlohmann::ordered_json;

std::string Line(const Object& object) {
    // A file name that is not UTF-8 must not end the run with an exception half-way through.
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

Object Text(const std::optional<std::string>& text) {
    return text ? Object(*text) : Object(nullptr);
}

Object VersionText(std::optional<uint32_t> word) {
    return word ? Object(FormatVersion(*word)) : Object(nullptr);
}

std::optional<std::string> TextAt(const Object& j, const char* key) {
    const auto it = j.find(key);
    if (it == j.end() || !it->is_string()) {
        return std::nullopt;
    }
    return it->get<std::string>();
}

uint64_t CountAt(const Object& j, const char* key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_number_unsigned() ? it->get<uint64_t>() : 0;
}

std::string Trimmed(const std::string& text) {
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    const auto first = std::find_if_not(text.begin(), text.end(), blank);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
    return first < last ? std::string(first, last) : std::string();
}

}  // namespace

std::string DeviceEvent(const std::string& path, uint16_t vendorId, uint16_t productId) {
    return Line({{key::kEvent, name::kDevice},
                 {key::kDevice, path},
                 {key::kVendor, Format("%04x", vendorId)},
                 {key::kProduct, Format("%04x", productId)}});
}

std::string VersionEvent(const std::string& path, std::optional<uint32_t> word) {
    return Line({{key::kEvent, name::kVersion},
                 {key::kDevice, path},
                 {key::kWord, word ? Object(*word) : Object(nullptr)},
                 {key::kVersion, VersionText(word)}});
}

std::string ImageEvent(const ImageFacts& image) {
    const auto field = [&](auto value) {
        return image.headerComplete ? Object(value) : Object(nullptr);
    };
    return Line(
        {{key::kEvent, name::kImage},
         {key::kFile, image.file},
         {key::kSize, image.size},
         {key::kDesVersion, field(image.desVersion)},
         {key::kVersion, image.headerComplete ? VersionText(image.desVersion) : Object(nullptr)},
         {key::kImageParam, field(image.imageParam)},
         {key::kImageLength, field(image.imageLength)},
         {key::kExtraBytes, field(image.extraBytes)},
         {key::kSha256, Text(image.sha256)},
         {key::kCanBeSent, !image.refusal.has_value()},
         {key::kReason, Text(image.refusal)}});
}

std::string StartEvent(const std::string& path, std::optional<uint32_t> oldVersion,
                       uint32_t newVersion, uint64_t total) {
    return Line({{key::kEvent, name::kStart},
                 {key::kDevice, path},
                 {key::kOldVersion, VersionText(oldVersion)},
                 {key::kNewVersion, FormatVersion(newVersion)},
                 {key::kTotal, total}});
}

std::string SkippedEvent(const std::string& path, uint32_t deviceVersion, uint32_t fileVersion) {
    return Line({{key::kEvent, name::kSkipped},
                 {key::kDevice, path},
                 {key::kOldVersion, FormatVersion(deviceVersion)},
                 {key::kNewVersion, FormatVersion(fileVersion)}});
}

std::string ProgressEvent(const std::string& path, uint64_t sent, uint64_t total) {
    return Line({{key::kEvent, name::kProgress},
                 {key::kDevice, path},
                 {key::kSent, sent},
                 {key::kTotal, total}});
}

std::string ResultEvent(int exitCode, const std::optional<std::string>& reason,
                        const std::optional<std::string>& device, double seconds) {
    // Milliseconds are as fine as a run's duration means anything.
    const double rounded = std::round(std::max(0.0, seconds) * 1000.0) / 1000.0;
    return Line({{key::kEvent, name::kResult},
                 {key::kExitCode, exitCode},
                 {key::kMeaning, Text(ExitMeaning(exitCode))},
                 {key::kReason, Text(reason)},
                 {key::kDevice, Text(device)},
                 {key::kSeconds, rounded}});
}

std::optional<Event> ReadEvent(const std::string& line) {
    const Object j = Object::parse(line, nullptr, /*allow_exceptions=*/false);
    const std::optional<std::string> kind = j.is_object() ? TextAt(j, key::kEvent) : std::nullopt;
    if (!kind) {
        return std::nullopt;
    }
    Event e;
    e.kind = *kind == name::kStart      ? EventKind::Start
             : *kind == name::kProgress ? EventKind::Progress
             : *kind == name::kVersion  ? EventKind::Version
             : *kind == name::kSkipped  ? EventKind::Skipped
             : *kind == name::kResult   ? EventKind::Result
                                        : EventKind::Other;
    // A version event's version is the gamepad's; a start event's the one it had before.
    e.oldVersion = TextAt(j, e.kind == EventKind::Version ? key::kVersion : key::kOldVersion);
    if (const auto word = j.find(key::kWord);
        e.kind == EventKind::Version && word != j.end() && word->is_number_unsigned()) {
        e.versionWord = word->get<uint32_t>();
    }
    e.newVersion = TextAt(j, key::kNewVersion);
    e.sent = CountAt(j, key::kSent);
    e.total = CountAt(j, key::kTotal);
    e.reason = TextAt(j, key::kReason);
    e.meaning = TextAt(j, key::kMeaning);
    const auto seconds = j.find(key::kSeconds);
    if (seconds != j.end() && seconds->is_number()) {
        e.seconds = seconds->get<double>();
    }
    return e;
}

std::optional<std::string> ExitMeaning(int exitCode) {
    const ExitCodeFacts* facts = FindExitCode(exitCode);
    return facts != nullptr ? std::optional<std::string>(facts->meaning) : std::nullopt;
}

std::string ReasonOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        line = Trimmed(line);
        if (line.rfind("zevrin-flash: ", 0) == 0) {
            line.erase(0, 14);
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    if (lines.size() > 1 && lines.front() == Trimmed(LoadLocalizedText(TextId::UpdateFailure))) {
        lines.erase(lines.begin());
    }
    std::string reason;
    for (const std::string& line : lines) {
        reason += (reason.empty() ? "" : " ") + line;
    }
    return reason;
}

}  // namespace zevrin::cli::json
