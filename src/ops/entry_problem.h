// Why an entry was not written: what extraction, the bytes' check and the writers say of
// one entry, as plain data for whoever renders it.
#pragma once

#include <string>

#include "archive/records.h"

namespace kp {

// The rule of safe names that a name breaks.
enum class NameFault : unsigned char {
    none,
    empty,
    absolute,            // starts with a separator
    colon,               // a drive or a stream
    control,             // a control character or DEL
    parent,              // a ".." part
    no_file,             // ends in a separator or a "." part
    device,              // Windows: a part that names a device
    trailing_dot_space,  // Windows: a part that ends in a dot or a space
};

enum class EntryResult : unsigned char { written, skipped, failed };

// Why an entry was not written.
enum class EntryFailure : unsigned char {
    none,
    unsafe_name,   // a name extraction refuses
    outside_file,  // its bytes do not lie wholly inside the update file
    directory,     // a part of its name could not be opened or made as a directory
    exists,        // its name is taken and was to be kept
    passed,        // its bytes lie where a stream has passed (its chunk wraps back)
    write,         // the new file could not be made, written or named
    stripped,      // skipped: --strip-components leaves no part of its name
};

// Why an entry was not written, with what the check found.
struct EntryProblem {
    EntryFailure failure = EntryFailure::none;
    NameFault name_fault = NameFault::none;  // unsafe_name: the rule the name breaks
    u64 past_end = 0;                        // outside_file: how far its bytes reach past the file's end
    std::string part;                        // directory: the part that is no directory; unsafe_name: the part
    std::string system_text;                 // what the system said, where it said anything
};

}  // namespace kp
