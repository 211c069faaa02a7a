#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <utility>

#include "support/run_tool.h"

namespace kp::test {

namespace {

std::wstring widen(const std::string& text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

// One argument quoted so that CommandLineToArgvW gives it back unchanged.
std::wstring quoted(const std::wstring& argument) {
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, L'\\');
    return out + L"\"";
}

// The parent's environment without the colour variables, plus the case's own.
std::wstring environment_block(const ToolOptions& options) {
    std::wstring block;
    wchar_t* inherited = GetEnvironmentStringsW();
    for (const wchar_t* entry = inherited; *entry != L'\0'; entry += wcslen(entry) + 1) {
        const std::wstring text = entry;
        if (text.starts_with(L"NO_COLOR=") || text.starts_with(L"CLICOLOR_FORCE=")) continue;
        block += text;
        block += L'\0';
    }
    FreeEnvironmentStringsW(inherited);
    for (const auto& [name, value] : options.env) {
        block += widen(name) + L"=" + widen(value);
        block += L'\0';
    }
    return block + L'\0';
}

// The bytes a pipe holds unread, asked of its read end.
DWORD unread(HANDLE reader) {
    DWORD bytes = 0;
    return PeekNamedPipe(reader, nullptr, 0, nullptr, &bytes, nullptr) ? bytes : 0;
}

bool ended(HANDLE process) {
    return process == nullptr || WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

}  // namespace

ToolRun run_tool_command_line(const std::wstring& arguments, const ToolOptions& options) {
    const std::wstring program = widen(KPUPDATE_BINARY);
    std::wstring command_line = quoted(program) + arguments;
    std::wstring environment = environment_block(options);
    const std::wstring cwd = widen(options.cwd);

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    if (!CreatePipe(&reader, &writer, &inherit, 0)) throw std::runtime_error("CreatePipe");
    SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);

    // Standard error goes to a temporary file that is read back at the end: it cannot block
    // the child the way a second pipe left undrained could.
    wchar_t directory[MAX_PATH];
    wchar_t error_path[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    GetTempFileNameW(directory, L"kpe", 0, error_path);
    HANDLE error_file =
        CreateFileW(error_path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                    CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (error_file == INVALID_HANDLE_VALUE) throw std::runtime_error("CreateFileW");

    // Standard input: a pipe fed from a thread, or the test's own.
    HANDLE in_reader = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE in_writer = nullptr;
    if (options.stdin_bytes) {
        if (!CreatePipe(&in_reader, &in_writer, &inherit, 0)) throw std::runtime_error("CreatePipe");
        SetHandleInformation(in_writer, HANDLE_FLAG_INHERIT, 0);
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_reader;
    startup.hStdOutput = writer;
    startup.hStdError = error_file;
    PROCESS_INFORMATION process{};
    const BOOL started =
        CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                       environment.data(), cwd.empty() ? nullptr : cwd.c_str(), &startup, &process);
    CloseHandle(writer);
    std::thread feeder;
    if (options.stdin_bytes) {
        // The parent keeps the read end until the pause, to see the child has read everything.
        feeder = std::thread([in_writer, in_reader, &options, &process] {
            HANDLE peek = in_reader;
            const std::string& bytes = *options.stdin_bytes;
            for (std::size_t done = 0; done < bytes.size();) {
                if (done == options.stdin_pause_at && done != 0) {
                    wait_until([&] { return unread(peek) == 0 || ended(process.hProcess); });
                    if (options.at_stdin_pause) options.at_stdin_pause();
                }
                // No longer needed once past the pause: a child that is gone then fails the write.
                if (done >= options.stdin_pause_at && peek != nullptr) {
                    CloseHandle(std::exchange(peek, nullptr));
                }
                const std::size_t end = done < options.stdin_pause_at ? options.stdin_pause_at : bytes.size();
                DWORD written = 0;
                const auto wanted = static_cast<DWORD>(std::min<std::size_t>(end - done, 1 << 20));
                if (!WriteFile(in_writer, bytes.data() + done, wanted, &written, nullptr) || written == 0) break;
                done += written;
            }
            if (peek != nullptr) CloseHandle(peek);
            CloseHandle(in_writer);
        });
    }
    if (!started) {
        if (feeder.joinable()) feeder.join();
        CloseHandle(reader);
        CloseHandle(error_file);
        throw std::runtime_error("CreateProcessW");
    }

    ToolRun run;
    char buffer[65536];
    DWORD got = 0;
    if (options.before_stdout) {
        wait_until([&] { return unread(reader) > 0 || ended(process.hProcess); });
        options.before_stdout();
    }
    while (ReadFile(reader, buffer, sizeof buffer, &got, nullptr) && got > 0) run.out.append(buffer, got);
    CloseHandle(reader);
    WaitForSingleObject(process.hProcess, INFINITE);
    if (feeder.joinable()) feeder.join();
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    run.status = static_cast<int>(code & 0xFF);  // -1 and -2 read as 255 and 254, as on POSIX
    SetFilePointer(error_file, 0, nullptr, FILE_BEGIN);
    while (ReadFile(error_file, buffer, sizeof buffer, &got, nullptr) && got > 0) run.err.append(buffer, got);
    CloseHandle(error_file);
    return run;
}

ToolRun run_tool(const std::vector<std::string>& args, const ToolOptions& options) {
    std::wstring arguments;
    for (const std::string& arg : args) arguments += L" " + quoted(widen(arg));
    return run_tool_command_line(arguments, options);
}

int create_descriptor(const std::string& path) {
    return ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0644);
}

void close_descriptor(int descriptor) {
    ::_close(descriptor);
}

}  // namespace kp::test
