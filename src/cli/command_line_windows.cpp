#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cwchar>

#include "cli/command_line.h"
#include "fs/utf16.h"

namespace kp {

namespace {
char* no_arguments[] = {nullptr};
}

void command_line_args_create(CommandLineArgs& args, int* argc, char*** argv) {
    args.saved_argc = *argc;
    args.saved_argv = *argv;
    args.argc_slot = argc;
    args.argv_slot = argv;

    int count = 0;
    LPWSTR* split = CommandLineToArgvW(GetCommandLineW(), &count);
    if (split == nullptr) {
        *argc = 0;
        *argv = no_arguments;
        return;
    }
    args.pointers.assign(static_cast<std::size_t>(count) + 1, nullptr);
    args.strings.resize(static_cast<std::size_t>(count));
    int converted = 0;
    for (; converted < count; ++converted) {
        const wchar_t* text = split[converted];
        const std::size_t length = std::wcslen(text);
        const std::size_t size = 3 * length + 1;
        ArgumentString& storage = args.strings[static_cast<std::size_t>(converted)];
        char* buffer = storage.inline_storage.data();
        std::size_t capacity = storage.inline_storage.size();
        if (size > capacity) {
            storage.heap = std::make_unique<char[]>(size);
            buffer = storage.heap.get();
            capacity = size;
        }
        if (utf16_to_utf8(buffer, capacity, text, text + length) == nullptr) {
            storage.heap.reset();
            break;  // this argument and those after it are dropped
        }
        args.pointers[static_cast<std::size_t>(converted)] = buffer;
    }
    args.pointers[static_cast<std::size_t>(converted)] = nullptr;
    *argc = converted;
    *argv = args.pointers.data();
    LocalFree(split);
}

void command_line_args_release(CommandLineArgs& args) {
    if (args.argc_slot == nullptr) return;
    *args.argc_slot = args.saved_argc;
    *args.argv_slot = args.saved_argv;
    args.argc_slot = nullptr;
    args.argv_slot = nullptr;
    args.pointers.clear();
    args.strings.clear();
}

}  // namespace kp
