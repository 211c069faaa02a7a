// A console that keeps what it prints, for tests.
#pragma once

#include <sstream>
#include <string>

#include "archive/update_archive.h"
#include "console/console.h"
#include "report/reports.h"

namespace kp::test {

struct CapturedConsole {
    ConsoleOutput console;
    std::string out;         // flushed text; native attribute changes appear as "<attr N>"
    std::size_t writes = 0;  // sink calls with text

    explicit CapturedConsole(ColourMode colour = ColourMode::off, bool terminal = false, u16 width = 80) {
        ConsoleTraits traits;
        traits.terminal = terminal;
        traits.native_attributes = colour == ColourMode::native;
        traits.width = width;
        ConsoleSink sink;
        sink.write = [](void* self, const char* data, std::size_t size) {
            auto* capture = static_cast<CapturedConsole*>(self);
            capture->out.append(data, size);
            ++capture->writes;
            return true;
        };
        sink.set_attribute = [](void* self, u16 attribute) {
            static_cast<CapturedConsole*>(self)->out += "<attr " + std::to_string(attribute) + ">";
        };
        sink.context = this;
        console_setup(console, nullptr, traits, colour, sink);
    }
    CapturedConsole(const CapturedConsole&) = delete;
    CapturedConsole& operator=(const CapturedConsole&) = delete;

    // Everything printed so far.
    const std::string& text() {
        console_flush(console);
        return out;
    }
};

// An archive loaded from `bytes` into a fresh UpdateArchive, with the warnings the load
// found printed as the program prints them.
struct LoadedArchive {
    CapturedConsole capture;
    UpdateArchive archive;
    LoadProblem problem;
    i32 result = 0;

    explicit LoadedArchive(const std::string& bytes, ColourMode colour = ColourMode::off, bool terminal = false)
        : capture(colour, terminal) {
        std::istringstream in(bytes);
        result = load_archive(archive, in, &problem);
        print_mismatches(capture.console, archive);
    }
};

}  // namespace kp::test
