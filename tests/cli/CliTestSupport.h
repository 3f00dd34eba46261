// What the CLI suites share: scripted standard input, captured output, image files on disk.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "cli/CliView.h"
#include "cli/LineReader.h"
#include "update/Protocol.h"

namespace zevrin::cli::test {

// Answers from a script; at the end of the script it either reports the end of input or, like a
// user who never types, waits until the prompt is cancelled.
class ScriptedInput final : public LineReader {
  public:
    explicit ScriptedInput(std::vector<std::string> lines = {}, bool blockAtEnd = false)
        : m_Lines(lines.begin(), lines.end()), m_BlockAtEnd(blockAtEnd) {}

    std::optional<std::string> ReadLine(const std::atomic<bool>& cancel) override {
        m_Asked++;
        {
            std::lock_guard lock(m_Mutex);
            if (!m_Lines.empty()) {
                std::string line = m_Lines.front();
                m_Lines.pop_front();
                return line;
            }
        }
        if (!m_BlockAtEnd) {
            return std::nullopt;
        }
        m_Waiting = true;
        // Bounded, so a prompt that ignores its cancel fails the test instead of hanging it.
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!cancel.load() && std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        m_Waiting = false;
        return std::nullopt;
    }

    int Asked() const { return m_Asked.load(); }
    bool Waiting() const { return m_Waiting.load(); }

  private:
    std::mutex m_Mutex;
    std::deque<std::string> m_Lines;
    bool m_BlockAtEnd;
    std::atomic<int> m_Asked{0};
    std::atomic<bool> m_Waiting{false};
};

// A console whose output the test reads once the run has returned.
struct CapturedConsole {
    explicit CapturedConsole(std::vector<std::string> answers = {}, bool blockAtEnd = false)
        : input(std::move(answers), blockAtEnd) {}

    std::ostringstream out;
    std::ostringstream err;
    ScriptedInput input;
    Console console{out, err, input, false, {}, {}};
};

// The bytes of an image file: header (version, param, declared length, 16 zero bytes) and data.
inline std::vector<uint8_t> ImageBytes(uint32_t version, uint32_t declaredLength, size_t dataBytes,
                                       uint32_t param = 0x44332211) {
    std::vector<uint8_t> bytes(kFirmwareHeaderSize + dataBytes, 0);
    WriteLe32(bytes.data(), version);
    WriteLe32(bytes.data() + 4, param);
    WriteLe32(bytes.data() + 8, declaredLength);
    for (size_t i = 0; i < dataBytes; ++i) {
        bytes[kFirmwareHeaderSize + i] = static_cast<uint8_t>((i * 131 + 7) ^ (i >> 8));
    }
    return bytes;
}

using zevrin::test::TempDir;

inline bool Contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

using Json = nlohmann::json;

// Standard output of a --json run, line by line. Anything but one JSON object a line, a result
// that is not the last line, or a last line without its end fails the test: a reader takes the
// output a line at a time.
inline std::vector<Json> JsonLines(const std::string& out) {
    std::vector<Json> lines;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);) {
        Json parsed = Json::parse(line, nullptr, false);
        if (parsed.is_discarded() || !parsed.is_object()) {
            ADD_FAILURE() << "not a JSON object: " << line;
            continue;
        }
        lines.push_back(std::move(parsed));
    }
    if (lines.empty() || lines.back().value("event", "") != "result" || out.back() != '\n') {
        ADD_FAILURE() << "no result on the last line:\n" << out;
        return lines;
    }
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_NE(lines[i].value("event", ""), "result") << "a result before the end:\n" << out;
    }
    return lines;
}

// The result line without its duration, which no test can know exactly.
inline Json Result(int exitCode, const std::string& meaning, Json reason, Json device) {
    return {{"event", "result"},
            {"exitCode", exitCode},
            {"meaning", meaning},
            {"reason", std::move(reason)},
            {"device", std::move(device)}};
}

inline Json WithoutSeconds(Json result) {
    EXPECT_TRUE(result.contains("seconds") && result["seconds"].is_number() &&
                result["seconds"].get<double>() >= 0)
        << result.dump();
    result.erase("seconds");
    return result;
}

// The events of one kind, in order.
inline std::vector<Json> Events(const std::vector<Json>& lines, const std::string& event) {
    std::vector<Json> found;
    for (const Json& line : lines) {
        if (line.value("event", "") == event) {
            found.push_back(line);
        }
    }
    return found;
}

}  // namespace zevrin::cli::test
