// Process-wide switches for tests, defined beside the code that reads each one: they steer
// the files layer down ways that a test could not otherwise reach. The program never calls
// them; on Windows, which has only the portable ways, they do nothing.
#pragma once

#include <string>

#include "fs/handle.h"

namespace kp {

// Every temporary name ends in `suffix` instead of a random one, so that a test can put
// something at the name first; empty: random again.
void use_temporary_suffix(std::string suffix);

// Only the portable ways, as on a system without unnamed files or copies inside the
// kernel: named temporary files, and copies through a buffer.
void use_portable_file_calls(bool portable);
bool portable_file_calls();

// An unnamed file is linked through its /proc entry only, as where the kernel links a
// file by its descriptor for the privileged alone.
void use_proc_links_only(bool proc_only);

// Replacing exchanges names with the old file and then removes it on every file system,
// not only where that is cheaper than a rename.
void use_exchange_to_replace(bool exchange);

// A process that guards itself raises `signal_number` (0: none) inside the moment a
// named file is made and not yet told to the handler, which holds it over to that
// moment's end.
void raise_inside_file_making(int signal_number);

// Puts the file `temporary` in `directory` at `leaf`, which held a regular file when last
// looked at, as replacing does by an exchange: a rename where the name is free by now; a
// directory that took it meanwhile keeps it, and this fails as a rename over it would.
// POSIX only.
bool replace_by_exchange(FileHandle directory, const char* temporary, const char* leaf);

}  // namespace kp
