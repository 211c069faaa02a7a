// The edit engine in-process: what it finds and says of a change, before any byte is written.
#include "create/edit.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "report/create_output.h"
#include "support/run_tool.h"

namespace kp {
namespace {

namespace fs = std::filesystem;

std::string sample_bytes() {
    return build::bytes(build::sample());
}

struct EditCase {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<std::string> paths;
    std::vector<std::string> deletes;
    EditResult result;
    std::vector<std::string> said;  // every reason, then every note, in order
};

TEST(EditUpdateFile, SaysWhatItDidOrWhy) {
    const std::string sample = sample_bytes();
    const EditCase cases[] = {
        {"every missing name is told",
         {},
         {},
         {"zz", "settings.ini", "yy"},
         EditResult::refused,
         {"zz: f.update holds no entry of that name", "yy: f.update holds no entry of that name"}},
        {"a name twice is deleted once",
         {},
         {},
         {"settings.ini", "settings.ini"},
         EditResult::written,
         {"deleted settings.ini (index 2)"}},
        {"the same bytes change nothing", {{"settings.ini", ""}}, {"settings.ini"}, {}, EditResult::unchanged, {}},
        {"appended after the highest, in byte order",
         {{"n", "1"}, {"m", ""}},
         {"n", "m"},
         {},
         EditResult::written,
         {"added m as index 7", "added n as index 8"}},
        {"a count of 8",
         {{"n", "1"}},
         {"n"},
         {},
         EditResult::refused,
         {"bootloader.bin: with 8 files the data region begins at the last directory record, so the first "
          "bytes of this file would have to be the record of n, and they are not; add or remove a file, or give "
          "--filler=NAME for an empty one"}},
        {"deleted and added at once",
         {{"a b", "1"}},
         {"a b"},
         {"settings.ini"},
         EditResult::written,
         {"deleted settings.ini (index 2)", "added 'a b' as index 7"}},
        {"signatures kept are warned of",
         {{"kernel.img", "k"}},
         {"kernel.img"},
         {},
         EditResult::written,
         {"replaced kernel.img (9001 bytes, now 1)",
          "warning: kernel.img changed (1 bytes, were 9001); its signatures are kept for the changed bytes "
          "(--signatures=zero clears them)"}},
    };
    for (const EditCase& edit : cases) {
        SCOPED_TRACE(edit.what);
        test::TempDir dir;
        test::write_file(dir.file("f.update"), sample);
        for (const auto& [name, bytes] : edit.files) test::write_file(dir.file(name), bytes);
        const fs::path before = fs::current_path();
        fs::current_path(dir.path());
        EditRequest request;
        request.file = "f.update";
        request.paths = edit.paths;
        request.deletes = edit.deletes;
        request.guard = false;
        const FileHandle root = open_target_directory({});
        const EditOutcome outcome = edit_update_file(request, root, ".", {});
        close_directory(root);
        fs::current_path(before);
        std::vector<std::string> said;
        for (const CreateProblem& problem : outcome.problems) said.push_back(create_reason(problem, ""));
        for (const EditNote& note : outcome.notes) said.push_back(edit_note_text(note));
        EXPECT_EQ(outcome.result, edit.result);
        EXPECT_EQ(said, edit.said);
        if (edit.result != EditResult::written) {
            EXPECT_TRUE(test::read_file(dir.file("f.update")) == sample);
        }
    }
}

}  // namespace
}  // namespace kp
