// Children on Windows: CreateProcessW of this program's own module, suspended until it is in the
// job that ends it with the parent. It has no console, so no console event reaches it: its
// standard input is a pipe from the parent, its stop line, and its output comes back through
// another. It inherits those two ends and nothing else of the parent's.
#include <windows.h>

#include <atomic>
#include <cwchar>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/ChildProcess.h"
#include "cli/ExitCodes.h"
#include "cli/Flash.h"
#include "hid/Log.h"
#include "hid/win32/Utf16.h"

namespace zevrin::cli {

namespace {

// Set in a child's environment: its standard input is the parent's stop line.
constexpr wchar_t kStopLineVariable[] = L"ZEVRIN_FLASH_STOP_LINE";
constexpr char kStopByte = 's';

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

// A handle closed when it goes out of scope.
class Owned {
  public:
    Owned() = default;
    explicit Owned(HANDLE handle) : m_Handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    ~Owned() {
        if (m_Handle) {
            CloseHandle(m_Handle);
        }
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    HANDLE Get() const { return m_Handle; }
    HANDLE* Out() { return &m_Handle; }
    HANDLE Release() { return std::exchange(m_Handle, nullptr); }

  private:
    HANDLE m_Handle = nullptr;
};

// Only this process holds the job's handle, so the system closes it when the process ends, however
// it ends, and ends every child with it. Null when the system gives none: then a child still stops,
// cleanly, once its stop line ends with the parent.
HANDLE ChildrenJob() {
    static const HANDLE job = [] {
        HANDLE created = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (created && !SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits,
                                                sizeof limits)) {
            LogLine("SetInformationJobObject: error %lu", GetLastError());
            CloseHandle(created);
            created = nullptr;
        }
        return created;
    }();
    return job;
}

// The parent's environment with the stop line's variable set, as CreateProcessW takes it.
std::vector<wchar_t> ChildEnvironment() {
    std::vector<wchar_t> block;
    const std::wstring name = std::wstring(kStopLineVariable) + L"=";
    if (wchar_t* const strings = GetEnvironmentStringsW()) {
        for (const wchar_t* entry = strings; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
            if (_wcsnicmp(entry, name.c_str(), name.size()) != 0) {
                block.insert(block.end(), entry, entry + std::wcslen(entry) + 1);
            }
        }
        FreeEnvironmentStringsW(strings);
    }
    const std::wstring mine = name + L"stdin";
    block.insert(block.end(), mine.c_str(), mine.c_str() + mine.size() + 1);
    block.push_back(L'\0');
    return block;
}

class CreatedRun final : public ChildRun {
  public:
    CreatedRun(HANDLE process, HANDLE output, HANDLE stopLine)
        : m_Process(process), m_Output(output), m_StopLine(stopLine) {}
    ~CreatedRun() override {
        CloseHandle(m_Output);
        (void)Wait();
        CloseHandle(m_StopLine);  // only now: its end would be a stop request
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
        if (WaitForSingleObject(m_Process, INFINITE) != WAIT_OBJECT_0) {
            return 1;
        }
        DWORD code = 1;
        return GetExitCodeProcess(m_Process, &code) ? static_cast<int>(code) : 1;
    }

    // One byte never fills the pipe, so this never waits on the child.
    void Stop() override {
        DWORD written = 0;
        (void)WriteFile(m_StopLine, &kStopByte, 1, &written, nullptr);
    }

    // The process handle stays open until the destructor, so its id names no other process.
    void HardStop() override {
        (void)TerminateProcess(m_Process, static_cast<UINT>(kExitHardStopped));
    }

  private:
    const HANDLE m_Process;
    const HANDLE m_Output;
    const HANDLE m_StopLine;
    PipeLines m_Lines;
};

// Creates the two pipes of a child, inheritable only at the child's ends.
bool MakePipes(Owned& outputRead, Owned& outputWrite, Owned& stopRead, Owned& stopWrite,
               std::string& error) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(outputRead.Out(), outputWrite.Out(), &inherit, 0) ||
        !CreatePipe(stopRead.Out(), stopWrite.Out(), &inherit, 0)) {
        error = SystemError("CreatePipe");
        return false;
    }
    SetHandleInformation(outputRead.Get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(stopWrite.Get(), HANDLE_FLAG_INHERIT, 0);
    return true;
}

// This program's own module, and the command line that starts it with `args`, each quoted.
bool ChildCommandLine(const std::vector<std::string>& args, std::wstring& module,
                      std::wstring& commandLine, std::string& error) {
    module.assign(32768, L'\0');
    const DWORD length =
        GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size()));
    if (length == 0 || length >= module.size()) {
        error = SystemError("GetModuleFileNameW");
        return false;
    }
    module.resize(length);
    AppendQuoted(commandLine, module);
    for (const std::string& a : args) {
        AppendQuoted(commandLine, Utf16(a));
    }
    return true;
}

// The child, suspended: its input the stop line, its output and errors the pipe back.
bool StartSuspended(const std::wstring& module, std::wstring& commandLine,
                    LPPROC_THREAD_ATTRIBUTE_LIST list, HANDLE input, HANDLE output,
                    PROCESS_INFORMATION& info, std::string& error) {
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = output;
    startup.lpAttributeList = list;
    std::vector<wchar_t> environment = ChildEnvironment();
    const DWORD flags = DETACHED_PROCESS | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT |
                        CREATE_UNICODE_ENVIRONMENT;
    if (!CreateProcessW(module.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                        environment.data(), nullptr, &startup.StartupInfo, &info)) {
        error = SystemError("CreateProcessW");
        return false;
    }
    return true;
}

std::unique_ptr<ChildRun> Create(const std::vector<std::string>& args, std::string& error) {
    std::wstring module;
    std::wstring commandLine;
    if (!ChildCommandLine(args, module, commandLine, error)) {
        return nullptr;
    }

    Owned outputRead, outputWrite, stopRead, stopWrite;
    if (!MakePipes(outputRead, outputWrite, stopRead, stopWrite, error)) {
        return nullptr;
    }
    // The handles the child inherits, and no other: not the caller's standard output (a program
    // reading it would wait for the children too), not a sibling's pipe.
    HANDLE inherited[] = {outputWrite.Get(), stopRead.Get()};
    SIZE_T listSize = 0;
    (void)InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<char> listStorage(listSize);
    const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listStorage.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &listSize)) {
        error = SystemError("InitializeProcThreadAttributeList");
        return nullptr;
    }
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                   sizeof inherited, nullptr, nullptr)) {
        error = SystemError("UpdateProcThreadAttribute");
        DeleteProcThreadAttributeList(list);
        return nullptr;
    }
    PROCESS_INFORMATION info{};
    const bool created =
        StartSuspended(module, commandLine, list, stopRead.Get(), outputWrite.Get(), info, error);
    DeleteProcThreadAttributeList(list);
    if (!created) {
        return nullptr;
    }
    Owned process(info.hProcess);
    const Owned thread(info.hThread);
    const HANDLE job = ChildrenJob();
    if (job && !AssignProcessToJobObject(job, process.Get())) {
        LogLine("AssignProcessToJobObject: error %lu", GetLastError());
    }
    if (ResumeThread(thread.Get()) == static_cast<DWORD>(-1)) {
        error = SystemError("ResumeThread");
        (void)TerminateProcess(process.Get(), static_cast<UINT>(kExitHardStopped));
        return nullptr;
    }
    return std::make_unique<CreatedRun>(process.Release(), outputRead.Release(),
                                        stopWrite.Release());
}

// Reads the stop line until it ends; each byte and its end are stop requests.
void FollowStopLine(HANDLE line, void (*request)(int exitCode)) {
    for (;;) {
        char byte = 0;
        DWORD got = 0;
        if (!ReadFile(line, &byte, 1, &got, nullptr) || got == 0) {
            request(kExitHangup);  // the end of the line: as a closed console
            return;
        }
        request(kExitInterrupted);  // as a Ctrl-C
    }
}

}  // namespace

ChildLauncher ProcessLauncher() {
    return Create;
}

void ListenToParent(void (*request)(int exitCode)) {
    static std::atomic<bool> listening{false};
    wchar_t value[16] = {};
    const DWORD length = GetEnvironmentVariableW(kStopLineVariable, value, 16);
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (length == 0 || length >= 16 || std::wcscmp(value, L"stdin") != 0 ||
        GetFileType(in) != FILE_TYPE_PIPE || listening.exchange(true)) {
        return;
    }
    // Nothing this child might start is the parent's child.
    SetEnvironmentVariableW(kStopLineVariable, nullptr);
    // Blocked in ReadFile for the whole run; the system ends it with the process.
    std::thread(FollowStopLine, in, request).detach();
}

}  // namespace zevrin::cli
