#include "cli/ConsoleOutput.h"

#include <utility>

#if !defined(_WIN32)
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#endif

namespace zevrin::cli {

namespace {

constexpr char16_t kReplacement = u'\uFFFD';
// Lines are short; a piece this long goes out without waiting for the flush.
constexpr size_t kPendingLimit = 4096;

bool IsContinuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// The bytes a sequence starting with `lead` takes (0: not a lead), and the range its second byte
// must fall in so that no overlong form or surrogate gets through.
struct Lead {
    size_t length;
    unsigned char low;
    unsigned char high;
};

Lead LeadOf(unsigned char b) {
    if (b >= 0xC2 && b <= 0xDF) {
        return {2, 0x80, 0xBF};
    }
    if (b == 0xE0) {
        return {3, 0xA0, 0xBF};
    }
    if (b == 0xED) {
        return {3, 0x80, 0x9F};
    }
    if (b >= 0xE1 && b <= 0xEF) {
        return {3, 0x80, 0xBF};
    }
    if (b == 0xF0) {
        return {4, 0x90, 0xBF};
    }
    if (b >= 0xF1 && b <= 0xF3) {
        return {4, 0x80, 0xBF};
    }
    if (b == 0xF4) {
        return {4, 0x80, 0x8F};
    }
    return {0, 0, 0};
}

}  // namespace

std::u16string Utf16FromUtf8(std::string& bytes) {
    std::u16string wide;
    wide.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            wide += static_cast<char16_t>(b);
            ++i;
            continue;
        }
        const Lead lead = LeadOf(b);
        size_t valid = 1;  // bytes of the sequence that fit so far
        while (lead.length > 0 && valid < lead.length && i + valid < bytes.size()) {
            const auto next = static_cast<unsigned char>(bytes[i + valid]);
            const bool fits =
                valid == 1 ? next >= lead.low && next <= lead.high : IsContinuation(next);
            if (!fits) {
                break;
            }
            ++valid;
        }
        if (lead.length > 0 && valid < lead.length && i + valid == bytes.size()) {
            break;  // the rest of the character comes with the next piece
        }
        if (lead.length == 0 || valid < lead.length) {
            wide += kReplacement;
            i += valid;
            continue;
        }
        char32_t code = b & (0xFF >> (lead.length + 1));
        for (size_t k = 1; k < lead.length; ++k) {
            code = (code << 6) | (static_cast<unsigned char>(bytes[i + k]) & 0x3F);
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            wide += static_cast<char16_t>(0xD800 + (code >> 10));
            wide += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            wide += static_cast<char16_t>(code);
        }
        i += lead.length;
    }
    bytes.erase(0, i);
    return wide;
}

ConsoleOutputBuf::ConsoleOutputBuf(Target target) : m_Target(std::move(target)) {}

ConsoleOutputBuf::int_type ConsoleOutputBuf::overflow(int_type ch) {
    if (traits_type::eq_int_type(ch, traits_type::eof())) {
        return traits_type::not_eof(ch);
    }
    const char c = traits_type::to_char_type(ch);
    return xsputn(&c, 1) == 1 ? ch : traits_type::eof();
}

std::streamsize ConsoleOutputBuf::xsputn(const char* text, std::streamsize count) {
    m_Pending.append(text, static_cast<size_t>(count));
    if (m_Pending.size() >= kPendingLimit && !WriteOut()) {
        return 0;
    }
    return count;
}

int ConsoleOutputBuf::sync() {
    return WriteOut() ? 0 : -1;
}

bool ConsoleOutputBuf::WriteOut() {
    if (!m_Target.console) {
        const bool written = m_Pending.empty() || m_Target.writeBytes(m_Pending);
        m_Pending.clear();
        return written;
    }
    const std::u16string wide = Utf16FromUtf8(m_Pending);
    return wide.empty() || m_Target.writeWide(wide);
}

}  // namespace zevrin::cli

#if !defined(_WIN32)

namespace zevrin::cli {

namespace {

std::atomic<int> g_OutputErrno{0};

bool WriteStdout(std::string_view bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() &&
        std::fflush(stdout) == 0) {
        return true;
    }
    int expected = 0;
    (void)g_OutputErrno.compare_exchange_strong(expected, errno != 0 ? errno : EIO);
    return false;
}

}  // namespace

std::unique_ptr<ConsoleOutputBuf> StandardOutputBuf() {
    ConsoleOutputBuf::Target target;
    target.writeBytes = WriteStdout;
    return std::make_unique<ConsoleOutputBuf>(target);
}

std::optional<std::string> StandardOutputFailure() {
    // The final flush: what stdio still held, and an error it met on its own.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        int expected = 0;
        (void)g_OutputErrno.compare_exchange_strong(expected, errno != 0 ? errno : EIO);
    }
    const int error = g_OutputErrno.load();
    if (error == EPIPE) {
        return std::string();  // the reader went away on purpose (`| head -n 1`): nobody to tell
    }
    return error != 0 ? std::optional<std::string>(std::strerror(error)) : std::nullopt;
}

}  // namespace zevrin::cli

#endif
