// What `zevrin-flash --json` prints: one JSON object a line, the result always last. Programs that
// run zevrin-flash read these keys: a key keeps its meaning for as long as kSchema stays the same.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zevrin::cli::json {

// Every line's "schema". It goes up only when a key changes its meaning or goes away; a key or an
// event that is new leaves it as it is, so a reader ignores what it does not know.
inline constexpr int kSchema = 1;

// Each returns one line, its line end included. Text that is not UTF-8 (a file name on Linux can
// be anything) is written with U+FFFD in place of the bytes that are not. A firmware version is
// told twice under one pair of names: "version" the text ("1.20"), "versionWord" the number the
// image and the gamepad give (120); start and summary put "old"/"new" in front.

// {"event":"device","schema":1,"device":PATH,"vendor":"0483","product":"5750"}
std::string DeviceEvent(const std::string& path, uint16_t vendorId, uint16_t productId);

// {"event":"version",...,"device":PATH,"version":"1.10","versionWord":110}; null without firmware.
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
    std::optional<std::string> refusal;  // why it cannot be sent, as the user was told
};
std::string ImageEvent(const ImageFacts& image);

// {"event":"start",...,"device":PATH,"oldVersion":"1.10"|null,"oldVersionWord":110|null,
//  "newVersion":"1.20","newVersionWord":120,"total":N}
std::string StartEvent(const std::string& path, std::optional<uint32_t> oldVersion,
                       uint32_t newVersion, uint64_t total);
// {"event":"skipped",...,"device":PATH,"oldVersion":"1.20","oldVersionWord":120,"newVersion":"1.20",
//  "newVersionWord":120}: --only-if-newer left
// the gamepad alone, its firmware being the file's or newer.
std::string SkippedEvent(const std::string& path, uint32_t deviceVersion, uint32_t fileVersion);
// {"event":"progress",...,"device":PATH,"sent":N,"total":N}
std::string ProgressEvent(const std::string& path, uint64_t sent, uint64_t total);

// Why a run failed: the text the user was told, on one line, and the name of the texts.def row it
// comes from ("file-too-short"), the same in every language.
struct Reason {
    std::string text;
    std::string code;
};
// The reason a failure text gives: without the program's name in front, and without the general
// "firmware update failure" line when a line saying why follows it.
Reason ReasonOf(const std::string& text);
// A row's name as reasonCode gives it: "FileTooShort" is "file-too-short".
std::string KebabCase(const std::string& name);

// {"event":"result",...,"exitCode":N,"meaning":M,"reason":TEXT|null,"reasonCode":CODE|null,
//  "device":PATH|null,"seconds":F,"time":"2026-12-09T05:30:12.345Z"}
std::string ResultEvent(int exitCode, const std::optional<Reason>& reason,
                        const std::optional<std::string>& device, double seconds);

// What the runs of --all and --repeat came to, for their last line.
struct Summary {
    int exitCode = 0;
    std::optional<Reason> reason;        // the parent's own failure, before any child ran
    std::optional<uint32_t> newVersion;  // update: the image's
    int gamepads = 0;
    int ok = 0;
    int failed = 0;
    double seconds = 0;
};
// {"event":"summary",...,"exitCode":N,"meaning":M,"reason":..,"reasonCode":..,"newVersion":..,
//  "newVersionWord":..,"gamepads":N,"ok":N,"failed":N,"seconds":F,"time":ISO}
std::string SummaryEvent(const Summary& summary);

// A child's line for its parent's output: the same, with the gamepad's path where it names none.
// Empty for a line that is not an event.
std::string WithDevice(const std::string& line, const std::string& path);

// A line read back (--all reads its children's): the quantities the parent keeps of each event.
// Null for a line that is not an event; an event of another kind has kind Other.
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

// The run's wall-clock time as ISO-8601 UTC with milliseconds: "2026-12-09T05:30:12.345Z".
std::string UtcNow();

}  // namespace zevrin::cli::json
