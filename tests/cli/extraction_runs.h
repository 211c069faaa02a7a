// What the extraction runs of the binary share: a workspace to run it in, and the bytes
// of the entries they build.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "archive/update_archive.h"
#include "archive_builder.h"
#include "fs/files_support.h"
#include "support/run_tool.h"

namespace kp::test {

// A directory "work" holding "a.update"; the tool runs inside it.
struct Workspace {
    TempDir root;
    std::string work = root.file("work");
    Workspace() { std::filesystem::create_directory(work); }
    std::string in_work(const std::string& name) const { return work + "/" + name; }
    // Runs "kpupdate a.update INDEX" after writing the archive; an empty index is left out.
    ToolRun run(const std::string& archive_bytes, const std::string& index, ToolOptions options = {}) const {
        write_file(in_work("a.update"), archive_bytes);
        options.cwd = work;
        if (index.empty()) return run_tool({"a.update"}, options);
        return run_tool({"a.update", index}, options);
    }
    // Runs "kpupdate ARGS..." after writing the archive as a.update.
    ToolRun run_with(const std::string& archive_bytes, const std::vector<std::string>& args,
                     ToolOptions options = {}) const {
        write_file(in_work("a.update"), archive_bytes);
        options.cwd = work;
        return run_tool(args, options);
    }
};

// The bytes of the chunk at directory `position`, as the loader places it.
inline std::string chunk_of(const std::string& archive, std::size_t position) {
    std::istringstream in(archive);
    UpdateArchive loaded;
    EXPECT_GT(load_archive(loaded, in), 0);
    const EntryRecord& record = loaded.entries.at(position);
    return archive.substr(record.data_offset, record.chunk_size);
}

inline const char* const error_prefix = "ERROR: could not extract file ";

}  // namespace kp::test
