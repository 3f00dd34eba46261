#include "cli/JsonEvents.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "cli/Flash.h"
#include "hid/Log.h"
#include "update/FirmwareImage.h"
#include "update/Texts.h"

namespace zevrin::cli::json {

namespace {

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

std::string Trimmed(const std::string& text) {
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    const auto first = std::find_if_not(text.begin(), text.end(), blank);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
    return first < last ? std::string(first, last) : std::string();
}

}  // namespace

std::string DeviceEvent(const std::string& path, uint16_t vendorId, uint16_t productId) {
    return Line({{"event", "device"},
                 {"device", path},
                 {"vendor", Format("%04x", vendorId)},
                 {"product", Format("%04x", productId)}});
}

std::string VersionEvent(const std::string& path, std::optional<uint32_t> word) {
    return Line({{"event", "version"},
                 {"device", path},
                 {"word", word ? Object(*word) : Object(nullptr)},
                 {"version", VersionText(word)}});
}

std::string ImageEvent(const ImageFacts& image) {
    const auto field = [&](auto value) {
        return image.headerComplete ? Object(value) : Object(nullptr);
    };
    return Line(
        {{"event", "image"},
         {"file", image.file},
         {"size", image.size},
         {"desVersion", field(image.desVersion)},
         {"version", image.headerComplete ? VersionText(image.desVersion) : Object(nullptr)},
         {"imageParam", field(image.imageParam)},
         {"imageLength", field(image.imageLength)},
         {"extraBytes", field(image.extraBytes)},
         {"sha256", Text(image.sha256)},
         {"canBeSent", !image.refusal.has_value()},
         {"reason", Text(image.refusal)}});
}

std::string StartEvent(const std::string& path, std::optional<uint32_t> oldVersion,
                       uint32_t newVersion, uint64_t total) {
    return Line({{"event", "start"},
                 {"device", path},
                 {"oldVersion", VersionText(oldVersion)},
                 {"newVersion", FormatVersion(newVersion)},
                 {"total", total}});
}

std::string ProgressEvent(const std::string& path, uint64_t sent, uint64_t total) {
    return Line({{"event", "progress"}, {"device", path}, {"sent", sent}, {"total", total}});
}

std::string ResultEvent(int exitCode, const std::optional<std::string>& reason,
                        const std::optional<std::string>& device, double seconds) {
    // Milliseconds are as fine as a run's duration means anything.
    const double rounded = std::round(std::max(0.0, seconds) * 1000.0) / 1000.0;
    return Line({{"event", "result"},
                 {"exitCode", exitCode},
                 {"meaning", Text(ExitMeaning(exitCode))},
                 {"reason", Text(reason)},
                 {"device", Text(device)},
                 {"seconds", rounded}});
}

std::optional<std::string> ExitMeaning(int exitCode) {
    switch (exitCode) {
        case kExitOk:
            return "ok";
        case kExitUpdateFailed:
            return "update failed";
        case kExitUsage:
            return "usage";
        case kExitNoGamepad:
            return "no gamepad";
        case kExitImageRefused:
            return "image refused";
        case kExitCancelled:
            return "cancelled";
        case kExitInterrupted:
            return "interrupted (SIGINT)";
        case 128 + 15:
            return "terminated (SIGTERM)";
        case 128 + 1:
            return "hangup (SIGHUP)";
        default:
            return std::nullopt;
    }
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
