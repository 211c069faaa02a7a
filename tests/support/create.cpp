#include "support/create.h"

#include <filesystem>

#include "fs/copy.h"
#include "fs/files.h"

namespace kp::test {

namespace fs = std::filesystem;

ToolOptions in(const std::string& directory) {
    ToolOptions options;
    options.cwd = directory;
    return options;
}

bool settles(const std::string& path) {
    const FileHandle directory = open_target_directory(fs::path(path).parent_path());
    SourceFile file;
    file.handle = open_measured(directory, fs::path(path).filename().string().c_str());
    const LeafStatus status = measure_open(file.handle);
    bool settled = false;
    wait_until([&] {
        ChangeWatch watch = start_change_watch();
        settled = unchanged_since(watch, file.handle, status);
        return settled || !watch.usable || !watch.local;
    });
    close_source(file);
    close_directory(directory);
    return settled;
}

void settle_tree(const std::string& root) {
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        if (item.is_regular_file()) settles(item.path().string());
    }
}

}  // namespace kp::test
