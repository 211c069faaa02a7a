// Making one update file from a request: where it goes, what goes in, and the file built,
// checked and named, or nothing at all.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "create/create.h"
#include "fs/files.h"
#include "ops/pattern.h"

namespace kp {

// What to make, and from what: the entries a manifest lists, or the files under the
// root at `paths` and the names in the lists.
struct CreateRequest {
    std::string file;                          // NEW; "-" standard output
    std::optional<std::string> manifest;       // "-" standard input
    std::optional<std::string> manifest_text;  // the manifest itself, read from no file
    std::vector<std::string> paths;
    std::vector<std::string> lists;  // files of PATHs ("-" standard input), one a line or with `null` NUL-ended
    bool null = false;
    Exclusions excludes;
    std::optional<std::string> version_text;
    std::optional<std::string> filler;  // an empty entry that keeps the count off a multiple of four
    bool padded = false;                // the files are a padded extraction
    bool keep = false;                  // an existing NEW is kept
    bool guard = true;                  // a signal that ends the process removes what is half written
};

// Told of the work as CreateEvents say, then of the warnings, once every entry is
// measured.
struct CreateFileEvents {
    CreateEvents work;
    void (*warning)(void* context, const CreateWarning& warning) = nullptr;
};

// Makes the update file `request` asks for from the files under `root` (no_file: it
// would not open, and `root_error` says why, of `root_name`). Where the request guards,
// every signal that ends the process leaves nothing behind while the file is written. False, with every reason in
// `problems`, where nothing was written.
bool create_update_file(const CreateRequest& request, FileHandle root, const std::string& root_name,
                        const std::string& root_error, const CreateFileEvents& events,
                        std::vector<CreateProblem>& problems);

}  // namespace kp
