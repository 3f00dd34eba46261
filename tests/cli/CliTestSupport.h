// What the CLI suites share: scripted standard input, captured output, image files on disk.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <utility>
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

// Text written on one thread and read a line at a time on another while the writer goes on, as a
// parent reads its child's pipe.
class LineChannel final : public std::streambuf {
  public:
    // The next whole line without its end; nothing once closed and read out. Bounded, so a writer
    // that stops writing fails the test instead of hanging it.
    std::optional<std::string> ReadLine(
        std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::unique_lock lock(m_Mutex);
        if (!m_Changed.wait_for(lock, limit, [&] { return !m_Lines.empty() || m_Closed; })) {
            ADD_FAILURE() << "no line within " << limit.count() << " ms";
            return std::nullopt;
        }
        if (m_Lines.empty()) {
            return std::nullopt;
        }
        std::string line = std::move(m_Lines.front());
        m_Lines.pop_front();
        return line;
    }
    // Writes stall, as on a terminal nobody reads (a stopped pager, a frozen ssh session), from
    // the end of the first line that holds `text` until Release.
    void HoldAfter(std::string text) {
        std::lock_guard lock(m_Mutex);
        m_HoldAfter = std::move(text);
    }
    bool Holding() {
        std::lock_guard lock(m_Mutex);
        return m_Held;
    }
    void Release() {
        std::lock_guard lock(m_Mutex);
        m_HoldAfter.reset();
        m_Held = false;
        m_Changed.notify_all();
    }
    void Close() {
        std::lock_guard lock(m_Mutex);
        if (!m_Partial.empty()) {
            m_Lines.push_back(std::exchange(m_Partial, {}));
        }
        m_Closed = true;
        m_Changed.notify_all();
    }

  protected:
    int_type overflow(int_type ch) override {
        if (!traits_type::eq_int_type(ch, traits_type::eof())) {
            const char c = traits_type::to_char_type(ch);
            xsputn(&c, 1);
        }
        return traits_type::not_eof(ch);
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        std::unique_lock lock(m_Mutex);
        m_Changed.wait(lock, [&] { return !m_Held; });
        for (std::streamsize i = 0; i < count; ++i) {
            if (text[i] == '\n') {
                m_Held = m_HoldAfter && m_Partial.find(*m_HoldAfter) != std::string::npos;
                m_Lines.push_back(std::exchange(m_Partial, {}));
                m_Changed.notify_all();
            } else {
                m_Partial += text[i];
            }
        }
        return count;
    }

  private:
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::deque<std::string> m_Lines;
    std::string m_Partial;
    bool m_Closed = false;
    std::optional<std::string> m_HoldAfter;
    bool m_Held = false;
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

using zevrin::test::ImageBytes;
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
        EXPECT_EQ(parsed.value("schema", 0), 1) << line;
        lines.push_back(std::move(parsed));
    }
    // --all and --repeat end with their summary, after a result line for each gamepad.
    const std::string last = lines.empty() ? "" : lines.back().value("event", "");
    if ((last != "result" && last != "summary") || out.back() != '\n') {
        ADD_FAILURE() << "no result on the last line:\n" << out;
        return lines;
    }
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_TRUE(last == "summary" || lines[i].value("event", "") != "result")
            << "a result before the end:\n"
            << out;
        EXPECT_NE(lines[i].value("event", ""), "summary") << "a summary before the end:\n" << out;
    }
    return lines;
}

// The result line without its duration, which no test can know exactly.
inline Json Result(int exitCode, const std::string& meaning, Json reason, Json device) {
    return {{"event", "result"},           {"schema", 1},
            {"exitCode", exitCode},        {"meaning", meaning},
            {"reason", std::move(reason)}, {"device", std::move(device)}};
}

// The result or summary line without what no test can know exactly: its duration, its time (UTC,
// to the millisecond) and its reasonCode, which must be there exactly when a reason is.
inline Json WithoutSeconds(Json result) {
    EXPECT_TRUE(result.contains("seconds") && result["seconds"].is_number() &&
                result["seconds"].get<double>() >= 0)
        << result.dump();
    const std::string time = result.value("time", "");
    EXPECT_TRUE(std::regex_match(time, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
        << result.dump();
    const Json code = result.value("reasonCode", Json());
    EXPECT_EQ(code.is_null(), result.value("reason", Json()).is_null()) << result.dump();
    EXPECT_TRUE(code.is_null() ||
                std::regex_match(code.get<std::string>(), std::regex("[a-z0-9]+(-[a-z0-9]+)*")))
        << result.dump();
    for (const char* key : {"seconds", "time", "reasonCode"}) {
        result.erase(key);
    }
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
