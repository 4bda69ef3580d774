// What the Windows process is given to run with: its standard streams and its processors.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

#include <bit>
#include <cstddef>
#include <string>
#include <vector>

#include "present/present.h"

// Nothing to open: the C runtime keeps descriptors 0, 1 and 2 for the standard streams even
// when the program has no console or its handles are closed. Such a stream is left without a
// handle, what is written to it is dropped, and no file opened later takes its place.
void open_standard_streams() {}

namespace {

std::string utf8_of(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        return {};
    }
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), length, nullptr, nullptr);
    narrow.pop_back();  // the terminator, which std::string keeps on its own
    return narrow;
}

}  // namespace

std::vector<std::string> program_arguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) {
        arguments.push_back(utf8_of(wide[i]));
    }
    LocalFree(wide);
    return arguments;
}

int usable_processor_count() {
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) == 0) {
        return 1;
    }
    return std::popcount(process_mask);
}
