// Untrusted bytes as the command line shows them: for a second program that prints names
// from an update file, and must never let one drive a terminal.
#include <string>
#include <string_view>

#include "api/handle.h"
#include "console/console.h"
#include "report/reasons.h"

extern "C" {

int kp_shown_text(const char* bytes, size_t length, int how, char** out, size_t* out_length) {
    if (out == nullptr || (bytes == nullptr && length != 0) || (how & ~(KP_SHOW_QUOTED | KP_SHOW_TERMINAL)) != 0)
        return KP_ERROR_ARGUMENT;
    *out = nullptr;
    if (out_length != nullptr) *out_length = 0;
    return kp::api::guarded(nullptr, [&]() -> int {
        std::string shown(bytes == nullptr ? std::string_view() : std::string_view(bytes, length));
        if ((how & KP_SHOW_QUOTED) != 0) shown = kp::shell_quoted(shown);
        if ((how & KP_SHOW_TERMINAL) != 0) shown = kp::escape_controls(shown);
        if (kp::api::hand_out(shown, out, out_length)) return KP_OK;
        if (out_length != nullptr) *out_length = 0;
        return KP_ERROR_SYSTEM;
    });
}

}  // extern "C"
