#include "report/renderer.h"

namespace kp {

void render_to_stderr(const RenderSettings& settings, Progress& progress, const std::string& text) {
    progress_clear(progress);
    console_to_stderr(*settings.console, "kpupdate: " + escape_for_stderr(*settings.console, text) + "\n");
}

}  // namespace kp
