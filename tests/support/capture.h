// A console that keeps what it prints, for tests.
#pragma once

#include <string>

#include "frame/console.h"

namespace kp::test {

struct CapturedConsole {
    ConsoleOutput console;
    std::string out;  // flushed text; native attribute changes appear as "<attr N>"

    explicit CapturedConsole(ColourMode colour = ColourMode::off, bool terminal = false, u16 width = 80) {
        ConsoleTraits traits;
        traits.terminal = terminal;
        traits.native_attributes = colour == ColourMode::native;
        traits.width = width;
        ConsoleSink sink;
        sink.write = [](void* self, const char* data, std::size_t size) {
            static_cast<CapturedConsole*>(self)->out.append(data, size);
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

}  // namespace kp::test
