// What `zevrin-flash --json` prints: one JSON object a line, the result always last. Programs that
// run zevrin-flash read these keys, so they change only together with those programs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zevrin::cli::json {

// Each returns one line, its line end included. Text that is not UTF-8 (a file name on Linux can
// be anything) is written with U+FFFD in place of the bytes that are not.

// {"event":"device","device":PATH,"vendor":"0483","product":"5750"}
std::string DeviceEvent(const std::string& path, uint16_t vendorId, uint16_t productId);

// {"event":"version","device":PATH,"word":110,"version":"1.10"}; both null without firmware.
std::string VersionEvent(const std::string& path, std::optional<uint32_t> word);

struct ImageFacts {
    std::string file;
    uint64_t size = 0;
    bool headerComplete = false;  // without it the header's fields are null
    uint32_t desVersion = 0;
    uint32_t imageParam = 0;
    uint32_t imageLength = 0;
    uint64_t extraBytes = 0;
    std::optional<std::string> sha256;
    std::optional<std::string> refusal;  // why it cannot be sent
};
std::string ImageEvent(const ImageFacts& image);

// {"event":"start","device":PATH,"oldVersion":"1.10"|null,"newVersion":"1.20","total":N}
std::string StartEvent(const std::string& path, std::optional<uint32_t> oldVersion,
                       uint32_t newVersion, uint64_t total);
// {"event":"skipped","device":PATH,"oldVersion":"1.20","newVersion":"1.20"}: --only-if-newer left
// the gamepad alone, its firmware being the file's or newer.
std::string SkippedEvent(const std::string& path, uint32_t deviceVersion, uint32_t fileVersion);
// {"event":"progress","device":PATH,"sent":N,"total":N}
std::string ProgressEvent(const std::string& path, uint64_t sent, uint64_t total);

// {"event":"result","exitCode":N,"meaning":M,"reason":TEXT|null,"device":PATH|null,"seconds":F}
std::string ResultEvent(int exitCode, const std::optional<std::string>& reason,
                        const std::optional<std::string>& device, double seconds);

// A line read back (--all reads its children's): what the parent needs of each event. Null for a
// line that is not an event; an event of another kind has kind Other.
enum class EventKind { Start, Progress, Version, Skipped, Result, Other };
struct Event {
    EventKind kind = EventKind::Other;
    std::optional<std::string> oldVersion;  // start: the gamepad's before; version: its answer
    std::optional<uint32_t> versionWord;    // version: the answer as the gamepad gave it
    std::optional<std::string> newVersion;
    uint64_t sent = 0;
    uint64_t total = 0;
    std::optional<std::string> reason;
    std::optional<std::string> meaning;
    std::optional<double> seconds;
};
std::optional<Event> ReadEvent(const std::string& line);

// The exit code's name in the result: "ok", "update failed", ..., "hangup (SIGHUP)".
std::optional<std::string> ExitMeaning(int exitCode);

// The reason a failure text gives, on one line: without the program's name in front, and without
// the general "firmware update failure" line when a line saying why follows it.
std::string ReasonOf(const std::string& text);

}  // namespace zevrin::cli::json
