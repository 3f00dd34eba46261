// Children on Windows: CreateProcessW of this program's own module, its output through an
// anonymous pipe. They share the parent's console, so Ctrl-C, Ctrl-Break and closing the console
// reach every child from the system itself, as their first stop request.
#include <windows.h>

#include <string>

#include "cli/ChildProcess.h"
#include "cli/Workbench.h"

namespace zevrin::cli {

namespace {

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int count =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), count);
    return wide;
}

// One argument as CommandLineToArgvW and the C runtime split it again: quotes around anything
// with blanks or quotes, backslashes doubled only where a quote follows them.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
    if (!line.empty()) {
        line += L' ';
    }
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

std::string SystemError(const char* operation) {
    return std::string(operation) + ": error " + std::to_string(GetLastError());
}

class CreatedRun final : public ChildRun {
  public:
    CreatedRun(HANDLE process, HANDLE output) : m_Process(process), m_Output(output) {}
    ~CreatedRun() override {
        CloseHandle(m_Output);
        (void)Wait();
        CloseHandle(m_Process);
    }
    CreatedRun(const CreatedRun&) = delete;
    CreatedRun& operator=(const CreatedRun&) = delete;

    std::optional<std::string> ReadLine() override {
        return m_Lines.Next([this](char* buffer, size_t size) -> size_t {
            DWORD got = 0;
            // ERROR_BROKEN_PIPE: the child and everything it started have closed their ends.
            if (!ReadFile(m_Output, buffer, static_cast<DWORD>(size), &got, nullptr)) {
                return 0;
            }
            return got;
        });
    }

    int Wait() override {
        if (!m_Code) {
            DWORD code = 1;
            if (WaitForSingleObject(m_Process, INFINITE) != WAIT_OBJECT_0 ||
                !GetExitCodeProcess(m_Process, &code)) {
                code = 1;
            }
            m_Code = static_cast<int>(code);
        }
        return *m_Code;
    }

    // The console has already told the child: a second event would end it at once, not cleanly.
    void Stop() override {}

  private:
    const HANDLE m_Process;
    const HANDLE m_Output;
    PipeLines m_Lines;
    std::optional<int> m_Code;
};

std::unique_ptr<ChildRun> Create(const std::vector<std::string>& args, std::string& error) {
    std::wstring module(32768, L'\0');
    const DWORD length =
        GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size()));
    if (length == 0 || length >= module.size()) {
        error = SystemError("GetModuleFileNameW");
        return nullptr;
    }
    module.resize(length);
    std::wstring commandLine;
    AppendQuoted(commandLine, module);
    for (const std::string& a : args) {
        AppendQuoted(commandLine, Wide(a));
    }

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!CreatePipe(&read, &write, &inherit, 0)) {
        error = SystemError("CreatePipe");
        return nullptr;
    }
    // Only the child's end is handed down. Children are started one at a time from one thread and
    // the parent closes each write end at once, so no child inherits a sibling's.
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = write;
    startup.hStdError = write;
    PROCESS_INFORMATION info{};
    // Without a console of the parent's, each child would open a console window of its own.
    const DWORD flags = GetConsoleWindow() == nullptr ? CREATE_NO_WINDOW : 0;
    const BOOL created = CreateProcessW(module.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        flags, nullptr, nullptr, &startup, &info);
    if (!created) {
        error = SystemError("CreateProcessW");
    }
    CloseHandle(write);
    if (nul != INVALID_HANDLE_VALUE) {
        CloseHandle(nul);
    }
    if (!created) {
        CloseHandle(read);
        return nullptr;
    }
    CloseHandle(info.hThread);
    return std::make_unique<CreatedRun>(info.hProcess, read);
}

}  // namespace

ChildLauncher ProcessLauncher() {
    return Create;
}

bool TerminalMovesCursor() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode)) {
        return false;
    }
    // Windows 10 and later; older consoles refuse, and get plain lines.
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

}  // namespace zevrin::cli
