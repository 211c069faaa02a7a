#include "report/renderer.h"

namespace kp {

void render_to_stderr(const RenderSettings& settings, Progress& progress, const std::string& text) {
    progress_clear(progress);
    console_to_stderr(*settings.console, "kpupdate: " + text + "\n");
}

}  // namespace kp
