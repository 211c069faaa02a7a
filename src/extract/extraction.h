// Writing one entry's chunk to the current directory.
#pragma once

#include <istream>
#include <string_view>

#include "archive/update_archive.h"

namespace kp {

// The entry carrying `index` (compared as a 32-bit pattern), the latest in the
// directory when several do; null when none does or nothing is loaded.
EntryRecord* find_entry_by_index(UpdateArchive& archive, i32 index);

// Opens the update file again by its stored path and loads the entry's chunk.
EntryRecord* extract_entry(UpdateArchive& archive, i32 index);

// Loads the entry's whole chunk from `stream` into its `data`, unless it has it
// already. Null when there is no such entry, or when the chunk does not lie wholly
// inside the stream, cannot be allocated or cannot be read: no partial chunk is kept.
EntryRecord* load_entry_data(UpdateArchive& archive, std::istream& stream, i32 index);

// Whether an entry name may be used as a path under the current directory: not
// empty, not absolute, no drive or stream colon, no control byte, no ".." part, and
// on Windows no part that names a device.
bool is_safe_entry_name(std::string_view name);

// Whether a path component names a Windows device (CON, NUL, COM1, LPT1, ...), with
// or without an extension, in any case.
bool is_reserved_device_name(std::string_view component);

// Writes the entry's loaded chunk to base_directory + its name, atomically: through a
// temporary file beside the target that replaces it only once complete. True only
// when every byte reached the target.
bool write_entry_file(const UpdateArchive& archive, const EntryRecord* entry);

}  // namespace kp
