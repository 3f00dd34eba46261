#include "cli/JsonEvents.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>

#include "cli/ExitCodes.h"
#include "hid/Log.h"
#include "update/FirmwareImage.h"

namespace zevrin::cli::json {

namespace {

// The keys and event names, written here once for the lines written and the lines read back.
namespace key {
constexpr const char* kEvent = "event";
constexpr const char* kSchema = "schema";
constexpr const char* kDevice = "device";
constexpr const char* kVendor = "vendor";
constexpr const char* kProduct = "product";
constexpr const char* kVersion = "version";
constexpr const char* kVersionWord = "versionWord";
constexpr const char* kFile = "file";
constexpr const char* kSize = "size";
constexpr const char* kImageParam = "imageParam";
constexpr const char* kImageLength = "imageLength";
constexpr const char* kExtraBytes = "extraBytes";
constexpr const char* kSha256 = "sha256";
constexpr const char* kCanBeSent = "canBeSent";
constexpr const char* kReason = "reason";
constexpr const char* kReasonCode = "reasonCode";
constexpr const char* kOldVersion = "oldVersion";
constexpr const char* kOldVersionWord = "oldVersionWord";
constexpr const char* kNewVersion = "newVersion";
constexpr const char* kNewVersionWord = "newVersionWord";
constexpr const char* kTotal = "total";
constexpr const char* kSent = "sent";
constexpr const char* kExitCode = "exitCode";
constexpr const char* kMeaning = "meaning";
constexpr const char* kSeconds = "seconds";
constexpr const char* kTime = "time";
constexpr const char* kGamepads = "gamepads";
constexpr const char* kOk = "ok";
constexpr const char* kFailed = "failed";
}  // namespace key

namespace name {
constexpr const char* kDevice = "device";
constexpr const char* kVersion = "version";
constexpr const char* kImage = "image";
constexpr const char* kStart = "start";
constexpr const char* kProgress = "progress";
constexpr const char* kSkipped = "skipped";
constexpr const char* kResult = "result";
constexpr const char* kSummary = "summary";
}  // namespace name

// Keys in the order a person reading the line expects them.
using Object = nlohmann::ordered_json;

std::string Dump(const Object& object) {
    // A file name that is not UTF-8 must not end the run with an exception half-way through.
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

// Every line opens with what it is and the schema its keys follow.
std::string Line(const char* event, const Object& fields) {
    Object object = {{key::kEvent, event}, {key::kSchema, kSchema}};
    for (const auto& [k, value] : fields.items()) {
        object[k] = value;
    }
    return Dump(object);
}

Object Text(const std::optional<std::string>& text) {
    return text ? Object(*text) : Object(nullptr);
}

Object VersionText(std::optional<uint32_t> word) {
    return word ? Object(FormatVersion(*word)) : Object(nullptr);
}

Object VersionWord(std::optional<uint32_t> word) {
    return word ? Object(*word) : Object(nullptr);
}

// Milliseconds are as fine as a run's duration means anything.
double Rounded(double seconds) {
    return std::round(std::max(0.0, seconds) * 1000.0) / 1000.0;
}

// The reason and its code, as the result and the summary carry them.
void PutReason(Object& object, int exitCode, const std::optional<Reason>& reason) {
    object[key::kReason] = reason ? Object(reason->text) : Object(nullptr);
    if (!reason) {
        object[key::kReasonCode] = nullptr;
        return;
    }
    // A text of no row (a system's message) is still named, after what the run came to.
    object[key::kReasonCode] =
        !reason->code.empty() ? reason->code : KebabCase(ExitMeaning(exitCode).value_or("failed"));
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

}  // namespace

std::string DeviceEvent(const std::string& path, uint16_t vendorId, uint16_t productId) {
    return Line(name::kDevice, {{key::kDevice, path},
                                {key::kVendor, Format("%04x", vendorId)},
                                {key::kProduct, Format("%04x", productId)}});
}

std::string VersionEvent(const std::string& path, std::optional<uint32_t> word) {
    return Line(name::kVersion, {{key::kDevice, path},
                                 {key::kVersion, VersionText(word)},
                                 {key::kVersionWord, VersionWord(word)}});
}

std::string ImageEvent(const ImageFacts& image) {
    const auto field = [&](auto value) {
        return image.headerComplete ? Object(value) : Object(nullptr);
    };
    const std::optional<Reason> refusal =
        image.refusal ? std::optional(ReasonOf(*image.refusal)) : std::nullopt;
    Object fields = {{key::kFile, image.file},
                     {key::kSize, image.size},
                     {key::kVersion, field(FormatVersion(image.desVersion))},
                     {key::kVersionWord, field(image.desVersion)},
                     {key::kImageParam, field(image.imageParam)},
                     {key::kImageLength, field(image.imageLength)},
                     {key::kExtraBytes, field(image.extraBytes)},
                     {key::kSha256, Text(image.sha256)},
                     {key::kCanBeSent, !image.refusal.has_value()}};
    PutReason(fields, kExitImageRefused, refusal);
    return Line(name::kImage, fields);
}

std::string StartEvent(const std::string& path, std::optional<uint32_t> oldVersion,
                       uint32_t newVersion, uint64_t total) {
    return Line(name::kStart, {{key::kDevice, path},
                               {key::kOldVersion, VersionText(oldVersion)},
                               {key::kOldVersionWord, VersionWord(oldVersion)},
                               {key::kNewVersion, FormatVersion(newVersion)},
                               {key::kNewVersionWord, newVersion},
                               {key::kTotal, total}});
}

std::string SkippedEvent(const std::string& path, uint32_t deviceVersion, uint32_t fileVersion) {
    return Line(name::kSkipped, {{key::kDevice, path},
                                 {key::kOldVersion, FormatVersion(deviceVersion)},
                                 {key::kOldVersionWord, deviceVersion},
                                 {key::kNewVersion, FormatVersion(fileVersion)},
                                 {key::kNewVersionWord, fileVersion}});
}

std::string ProgressEvent(const std::string& path, uint64_t sent, uint64_t total) {
    return Line(name::kProgress, {{key::kDevice, path}, {key::kSent, sent}, {key::kTotal, total}});
}

std::string ResultEvent(int exitCode, const std::optional<Reason>& reason,
                        const std::optional<std::string>& device, double seconds) {
    Object fields = {{key::kExitCode, exitCode}, {key::kMeaning, Text(ExitMeaning(exitCode))}};
    PutReason(fields, exitCode, reason);
    fields[key::kDevice] = Text(device);
    fields[key::kSeconds] = Rounded(seconds);
    fields[key::kTime] = UtcNow();
    return Line(name::kResult, fields);
}

std::string SummaryEvent(const Summary& summary) {
    Object fields = {{key::kExitCode, summary.exitCode},
                     {key::kMeaning, Text(ExitMeaning(summary.exitCode))}};
    PutReason(fields, summary.exitCode, summary.reason);
    fields[key::kNewVersion] = VersionText(summary.newVersion);
    fields[key::kNewVersionWord] = VersionWord(summary.newVersion);
    fields[key::kGamepads] = summary.gamepads;
    fields[key::kOk] = summary.ok;
    fields[key::kFailed] = summary.failed;
    fields[key::kSeconds] = Rounded(summary.seconds);
    fields[key::kTime] = UtcNow();
    return Line(name::kSummary, fields);
}

std::string WithDevice(const std::string& line, const std::string& path) {
    Object j = Object::parse(line, nullptr, /*allow_exceptions=*/false);
    if (!j.is_object() || !TextAt(j, key::kEvent)) {
        return {};
    }
    if (!TextAt(j, key::kDevice)) {
        j[key::kDevice] = path;
    }
    return Dump(j);
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
    if (const auto word = j.find(key::kVersionWord);
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

std::string UtcNow() {
    using namespace std::chrono;
    const auto now = floor<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date(day);
    const hh_mm_ss time(now - day);
    return Format("%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()),
                  static_cast<int>(time.subseconds().count()));
}

}  // namespace zevrin::cli::json
