// Writing update files: the entries that a tree or a manifest asks for, held to the
// format's limits, their bytes read once through the handles of the directory they lie
// in, and the file loaded back and compared with what was asked before it is named.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "archive/encode.h"
#include "fs/copy.h"
#include "fs/files.h"
#include "fs/walk.h"
#include "ops/entry_problem.h"
#include "ops/sha256.h"

namespace kp {

// An entry to be written. Its bytes are the file of its name under the directory read.
struct NewEntry {
    std::string name;       // the stored text; the field holds a NUL after it
    std::string name_tail;  // the field's bytes after that NUL; zeros past them
    u32 index = 0;
    std::array<u64, 4> signature{};
    std::optional<u32> declared_size;    // a manifest's size, which the file is measured against
    std::optional<Sha256Digest> sha256;  // a manifest's digest of the file's own bytes, compared as they are copied
    bool listed_regular = false;         // its directory listed a regular file: it is opened without a look by name
    bool filler = false;                 // empty, with no file behind it
    std::string padding;                 // the chunk's bytes after the file's own; zeros past them
    // Found when the file is measured: the size the record gets, and the bytes taken
    // from the file: its own size, or from a padded extraction the whole chunk.
    u32 size = 0;
    u64 taken = 0;
};

struct NewArchive {
    bool padded = false;       // the files are a padded extraction: a file of its chunk's size holds its padding
    std::string version;       // the header's text
    std::string version_tail;  // the field's bytes after its NUL
    std::array<u64, 4> header_signature{};
    std::string gap;  // the bytes between the directory's end and the data; zeros past them
    std::vector<NewEntry> entries;
};

// What stops a file from being made, or what a warning is of.
enum class CreateFault : unsigned char {
    no_files,            // nothing to add
    too_many_files,      // first: the count
    name_too_long,       // first: its length
    name_empty_part,     // "a//b"
    name_nul,            // a NUL inside it
    name_refused,        // a name extraction refuses: `name` says why
    duplicate_name,      // first: the position of the other entry
    version_too_long,    // first: its length
    tail_too_long,       // first: the bytes given, second: the room after the text
    padding_too_long,    // first: the bytes given, second: the room after the file\'s size
    gap_too_long,        // first: the bytes given, second: the gap's length
    path_outside,        // a PATH that is absolute or climbs with ".."
    path_part,           // a part on the way is no directory, or would not open: `text`
    missing,             // no file of that name under the directory
    not_regular,         // `kind` says what it is
    unreadable,          // `text` says why
    file_too_large,      // first: its size, which a u32 chunk cannot hold
    too_deep,            // a directory below which no name fits a record: first its bytes, second its parts
    archive_too_large,   // first: where the data would end
    changed,             // the file changed as it was read
    overlap,             // the data region begins at the last directory record, which the first bytes disagree with
    manifest_syntax,     // `at` where, `text` what the parser said
    manifest_value,      // `subject` the field, `text` what it should hold
    manifest_too_large,  // first: its size, or the bytes read before it passed the most
    manifest_duplicate,  // `text` the key, `at` where it comes again, `earlier` where first
    manifest_unknown,    // `text` a key --json never prints, `at` where; `subject` the key it is nearest, if any
    written_otherwise,   // the file loads back as something else: `text` what differs
    write_failed,        // `text` what the system said
    kept,                // NEW exists, and -k keeps it
    target_not_regular,  // NEW is a link, a FIFO, a device or a socket: `kind` says which
    no_entry,            // a name to delete that FILE (`text`) holds no entry of
    edit_not_regular,    // FILE, or --out's NEW, is no regular file: `kind` says what it is
    source_short,        // an entry's chunk that the change keeps reaches `first` bytes past FILE's (`text`) end
};

// What is made otherwise than asked, though the file is still made.
struct CreateWarning {
    enum class Kind : unsigned char {
        size_changed,   // size: the file's, expected: the manifest's
        not_padded,     // size: the file's, its own, expected: its chunk's, which a padded extraction holds
        is_output,      // the file being written lies in the tree, and is not added
        bytes_changed,  // size: the file's, the manifest's too; its digest is not the manifest's
        unnamed,        // a file under the directory that the manifest does not name: `name` is its path
        unwalked,       // a directory under it that could not be read (`text` why) or lies too deep (`text` empty)
    };
    Kind kind = Kind::is_output;
    std::string name;  // the entry's
    u64 size = 0;
    u64 expected = 0;
    std::string text;  // unwalked: what the system said
};

// A place in a manifest's text, from 1.
struct TextPosition {
    u64 line = 0;
    u64 column = 0;
};

struct CreateProblem {
    CreateFault fault = CreateFault::no_files;
    std::string subject;  // the entry's name, the PATH or the field it is of; empty: the whole file
    u64 first = 0;
    u64 second = 0;
    std::string text;
    LeafKind kind = LeafKind::other;
    EntryProblem name;  // name_refused: the rule and the part
    TextPosition at;    // a manifest's problems: where
    TextPosition earlier;
};

CreateProblem create_problem(CreateFault fault, std::string subject = {}, std::string text = {}, u64 first = 0,
                             u64 second = 0);

// The layout of what was asked, every entry at the size measured.
NewLayout layout_of(const NewArchive& archive);

// The format's limits, checked on what was asked before anything is read: the count,
// each name, names that write one file, the header's fields.
void check_new_archive(const NewArchive& archive, std::vector<CreateProblem>& problems);

// Takes what `leaf`, an entry's regular file, measured: the size the record gets and the
// bytes taken. A file's size is its entry's: where it is the manifest's, the manifest's
// padding follows it; any other size is the new size, with zero padding and a warning.
// Where the archive is `padded`, a file of the manifest's size's whole chunk is the bytes
// and their padding; any other is taken as without it, and warned of. Nothing is guessed
// from a length. False, with a problem, for a file larger than largest_entry_size or given
// more padding than its chunk has room for.
bool take_measure(const NewArchive& archive, NewEntry& entry, const LeafStatus& leaf,
                  std::vector<CreateProblem>& problems, std::vector<CreateWarning>& warnings);

// Leaves out the entry at `position`; an index number after it that was its position (a
// tree's) stays one.
void drop_entry(NewArchive& archive, std::size_t position);

// Adds an empty entry called `name` at the end, where the count is a multiple of four, so
// that the data region no longer begins at the last directory record: true when it did.
// Added once the files are measured, it has no file behind it.
bool add_filler(NewArchive& archive, const std::string& name);

// The records of what was asked: an entry's, and the header, which counts the entries and
// says where the data ends.
DirectoryRecord record_of(const NewEntry& entry);
DirectoryRecord header_of(const NewArchive& archive, const NewLayout& layout);

// The directory of the entry before, which the next one shares where entries come in
// the order of their names: looked up in the walk only when it changes.
struct LastDirectory {
    std::string text;  // the name up to its last separator
    FileHandle handle = no_file;
};

// Where an entry's file lies: the directory, from the walk, and `leaf` in it, the end of
// the entry's name; no_file with why in `problem`.
FileHandle place_of(DirectoryWalk& walk, LastDirectory& last, const NewEntry& entry, const char*& leaf,
                    CreateProblem& problem);

// Told of the work ahead, of the bytes as they are copied and of each entry as it is added.
struct CreateEvents {
    void* context = nullptr;
    // `bytes` is unknown_length: each file is measured only as it is read.
    void (*begin)(void* context, u64 bytes, u64 entries) = nullptr;
    CopyProgress progress;
    // An entry's bytes are read, and its file is about to be looked at once more to see
    // that nothing changed it meanwhile.
    void (*read)(void* context, const NewEntry& entry) = nullptr;
    void (*added)(void* context, const NewEntry& entry) = nullptr;
    void (*end)(void* context) = nullptr;
};

// How a pass over the entries ended.
enum class Pass : unsigned char {
    written,     // the whole file
    failed,      // with every reason in the problems
    met_output,  // an entry's file is the file being written (its id `skip`): nothing more was done
};

// Writes the update file to `out`, an empty new file, in one pass over the entries. Each
// file is opened once from the walk, never following a link, and measured through its
// handle (an entry not listed as a regular file is looked at by name first, so that
// nothing else is ever opened); its measure taken as take_measure says; it is read once,
// never through a view of its memory, and looked at once more: it must still be the file
// measured, as it was then. The data goes where the count puts it, from the first entry
// on, and the header and directory last, once every size is known. Where a file cannot be
// added, nothing more is written and the rest are only measured, so that every such
// problem is told, with the first that came in writing: a file that changed as it was
// read, a read or a write that failed, an archive past 4 GiB, or first bytes of the data
// that disagree with the last directory record they share. Met_output, with its position
// in `output_at`, where the entry's file is `skip`.
Pass write_new_archive(NewArchive& archive, DirectoryWalk& walk, const std::optional<FileId>& skip, FileHandle out,
                       const CreateEvents& events, std::vector<CreateProblem>& problems,
                       std::vector<CreateWarning>& warnings, std::size_t& output_at);

// Loads what was written back from `written` and compares it with what was asked: the
// header, every record, where each entry's data lies, and the file's length; and that
// every entry's chunk lies whole inside what was written, so that nothing --test would
// call damaged is ever named.
bool check_written_archive(const NewArchive& archive, SourceFile& written, CreateProblem& problem);

}  // namespace kp
