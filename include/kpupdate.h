/* libkpupdate: read, check, extract, compare and write Kelvo/Pardo firmware update files.
 *
 * An update file is a 128-byte header record, a directory of 128-byte records, and each
 * file's bytes in a 512-byte aligned chunk. A kp_archive handle holds one loaded update
 * file and what the last call on it said: every call returns a kp_status, and where it
 * failed, kp_reason() says why in the words the command line uses. Handles share nothing:
 * two may be used from two threads at once; one handle is used by one thread at a time,
 * kp_close included: a caller that shares one between threads holds a lock across each
 * call and across reading kp_reason() after it. No C++ exception leaves a call: one that
 * would is its failure (memory: KP_ERROR_SYSTEM with ENOMEM).
 *
 * Structures that may grow begin with struct_size, which the caller sets to sizeof the
 * structure it was compiled with; the library fills or reads no field past it. A reason
 * about one entry is its name, quoted as kp_shown_text quotes it, ": " and why.
 *
 * What changed since 0.9: kp_open_path_at and kp_open_fd_at, the update file that begins
 * at an offset inside a larger file or stream, read in place; kp_header's offset;
 * kp_scan_path, kp_scan_fd and kp_scan_stream, every update file inside a larger one.
 *
 * What changed since 0.8: kp_open_named_fd; kp_entry_path, where extraction writes an
 * entry or why it refuses it; kp_check_entry, whether an entry's bytes can be read;
 * kp_shown_text, the command line's quoting and escaping of untrusted bytes; kp_header's
 * length and cut; kp_group's positions are uint32_t, as every other position is (they
 * were int32_t, of the same size).
 */
#ifndef KPUPDATE_H
#define KPUPDATE_H

#include <stddef.h>
#include <stdint.h>

#define KP_VERSION_MAJOR 0
#define KP_VERSION_MINOR 10
#define KP_VERSION_PATCH 0
#define KP_VERSION_NUMBER (KP_VERSION_MAJOR * 10000 + KP_VERSION_MINOR * 100 + KP_VERSION_PATCH)
#define KP_VERSION_STRING "0.10.0"

#if defined(_WIN32) || !defined(__GNUC__)
#define KP_API
#else
#define KP_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What a call did. */
typedef enum kp_status {
    KP_OK = 0,
    KP_DIFFERENT = 1,        /* kp_diff: the two sides differ */
    KP_ERROR_SYSTEM = -1,    /* the system refused: kp_system_error() says which errno */
    KP_ERROR_FORMAT = -2,    /* no update file, or one whose bytes are damaged */
    KP_ERROR_ARGUMENT = -3,  /* a null pointer, a position past the entries, a value out of range */
    KP_ERROR_STATE = -4,     /* no update file is open, or a stream has passed the bytes asked for */
    KP_ERROR_NOT_FOUND = -5, /* a name or selector matched no entry */
    KP_ERROR_FAILED = -6     /* the work was refused or not all done: kp_reason() has every reason */
} kp_status;

/* The library's version, "MAJOR.MINOR.PATCH", and as KP_VERSION_NUMBER counts it. */
KP_API const char* kp_version(void);
KP_API int kp_version_number(void);

typedef struct kp_archive kp_archive;

/* A handle with nothing open; NULL where memory ran out. */
KP_API kp_archive* kp_new(void);
/* Closes what the handle holds and frees it; NULL is ignored. */
KP_API void kp_close(kp_archive* archive);
/* Why the last call on the handle failed, one reason a line without a line feed at the
 * end; "" after a success. Valid until the next call on the handle. */
KP_API const char* kp_reason(const kp_archive* archive);
/* The errno of the last failure where it was the system's, else 0. */
KP_API int kp_system_error(const kp_archive* archive);
/* Frees a document the library allocated. */
KP_API void kp_free(void* memory);

/* Opening: each closes what the handle held first, then loads the header and the
 * directory, and fails with KP_ERROR_FORMAT (and why) for what is no update file.
 * A path is UTF-8, and "-" is a file of that name: standard input is kp_open_fd(h, 0).
 * A descriptor is duplicated: the caller keeps its own. A regular file is read with
 * offsets; anything else is a stream, read once, in order, as the read function is: it
 * returns how many bytes it read into `buffer`, at most `size`, 0 at the end, or -1 with
 * errno set when it failed, which kp_system_error() then gives; -1 with EINTR is called
 * again. Any other answer (a count past `size`, one below -1, -1 with errno 0) is a
 * failed read (EIO), and nothing of it is used. The function is called on the thread of
 * the call that reads, from kp_open_stream on until the handle is closed. */
KP_API int kp_open_path(kp_archive* archive, const char* path);
KP_API int kp_open_fd(kp_archive* archive, int fd);
/* Since 0.9. kp_open_fd, with the file called `name` in reasons and documents (kp_json's
 * "file"), as kp_open_path would call it: for a caller that opened the file and looked at
 * it first, without waiting on a pipe that has no writer, say. */
KP_API int kp_open_named_fd(kp_archive* archive, int fd, const char* name);
/* Since 0.10. kp_open_path and kp_open_fd, with the same statuses, for the update file
 * that begins `offset` bytes into the file, read in place: every offset (kp_entry's, the
 * documents') counts from there, and its bytes end where its header says it ends, so that
 * what follows is not its (kp_test notes no bytes after its end). A stream's first
 * `offset` bytes are read and dropped. An offset past the file's end leaves no bytes:
 * KP_ERROR_FORMAT, as for an empty file. */
KP_API int kp_open_path_at(kp_archive* archive, const char* path, uint64_t offset);
KP_API int kp_open_fd_at(kp_archive* archive, int fd, uint64_t offset);
typedef ptrdiff_t (*kp_read_function)(void* context, void* buffer, size_t size);
KP_API int kp_open_stream(kp_archive* archive, kp_read_function read, void* context);
/* 1 for a stream, whose entries are read in the order they lie, each once; else 0. */
KP_API int kp_is_stream(const kp_archive* archive);

/* The header. `version` points into the handle, valid while the file stays open; the
 * field's text, up to its NUL. */
typedef struct kp_header {
    size_t struct_size;
    const char* version;
    size_t version_length;
    uint32_t file_count;
    uint32_t data_start; /* where the first chunk lies */
    uint64_t end;        /* where the last chunk ends: the length the file should have */
    uint32_t used_size;  /* the entries' sizes summed, as the format wraps them at 2^32 */
    uint32_t chunk_sum;  /* their chunks' sizes summed, the same way */
    uint64_t signatures[4];
    /* Since 0.9. The file's length as far as it is known: a file's, or a stream's once it
     * has been read to its end, else UINT64_MAX. */
    uint64_t length;
    /* Since 0.9. 1 where that length is short of `end`: the file was cut, and the bytes of
     * its last entries are missing in part (kp_test names them); else 0. A stream not yet
     * read to its end is 0: kp_test or kp_json reads it there. */
    int cut;
    /* Since 0.10. Where the update file begins in the file or stream opened: the offset
     * given to kp_open_path_at or kp_open_fd_at, else 0. */
    uint64_t offset;
} kp_header;
KP_API int kp_get_header(const kp_archive* archive, kp_header* header);

/* One entry of the directory, at `position` (from 0, in directory order). `name` points
 * into the handle: the name field's bytes up to its NUL, which need not be UTF-8. */
typedef struct kp_entry {
    size_t struct_size;
    uint32_t position;
    uint32_t index;
    const char* name;
    size_t name_length;
    uint32_t size;       /* the file's own bytes */
    uint32_t chunk_size; /* its 512-byte aligned chunk */
    uint32_t offset;     /* where the chunk lies */
    uint64_t signatures[4];
} kp_entry;
KP_API uint32_t kp_entry_count(const kp_archive* archive);
KP_API int kp_get_entry(const kp_archive* archive, uint32_t position, kp_entry* entry);
/* The position of the last entry named `name` (NUL-terminated bytes), which is the one
 * extraction writes; KP_ERROR_NOT_FOUND where none is. */
KP_API int kp_find_entry(const kp_archive* archive, const char* name, uint32_t* position);
/* Since 0.9. Where extraction of every entry writes the one at `position`: `*path` (into
 * the handle, valid while the file stays open) is its name's parts that name something
 * (not empty, not "."), joined by '/', under the target directory, and two entries of one
 * path write one file, the later of them. KP_ERROR_FORMAT where extraction refuses the
 * name, with kp_reason() as `kpupdate -a` says it; `length` may be NULL. */
KP_API int kp_entry_path(const kp_archive* archive, uint32_t position, const char** path, size_t* length);

/* The groups of two or more entries whose first signatures coincide, as the report shows
 * them, ascending by signature; `positions` points into the handle. */
typedef struct kp_group {
    size_t struct_size;
    uint64_t signature;
    size_t count;
    const uint32_t* positions; /* since 0.9; int32_t before */
} kp_group;
KP_API size_t kp_group_count(const kp_archive* archive);
KP_API int kp_get_group(const kp_archive* archive, size_t group, kp_group* out);

/* Reads up to `size` bytes of the entry at `position` from `offset` within it into
 * `buffer`, its own bytes or with `padded` its whole chunk; `*got` is how many, fewer only
 * at the entry's end. KP_ERROR_FORMAT where the update file ends before the entry does. */
KP_API int kp_read(kp_archive* archive, uint32_t position, int padded, uint64_t offset, void* buffer, size_t size,
                   size_t* got);
/* Writes the entry's bytes to the descriptor `fd`, in bounded memory. */
KP_API int kp_read_to_fd(kp_archive* archive, uint32_t position, int padded, int fd);
/* The SHA-256 of the entry's bytes, as 64 lower-case hex digits and a NUL. */
KP_API int kp_sha256(kp_archive* archive, uint32_t position, int padded, char hex[65]);
/* Since 0.9. Whether the entry's bytes can be read: KP_OK, or why not as kp_read says it:
 * KP_ERROR_FORMAT where they reach past the file's end, KP_ERROR_STATE where a stream has
 * passed them, KP_ERROR_SYSTEM where reading a stream on to them failed. A stream is read
 * on until it holds them, where its memory can. */
KP_API int kp_check_entry(kp_archive* archive, uint32_t position, int padded);

/* Extraction, as the command line's -a, --name, --include, --exclude, --strip-components,
 * --padded and -k / --skip-old-files: without names or patterns every file. Each name is
 * reached through directory handles from `directory` (NULL: the current one), and each
 * file takes its name only once complete. `entry`, when set, is told of each entry:
 * `result` 1 written (at `path`), 0 skipped, -1 failed (`reason` says why). */
enum { KP_EXISTING_REPLACE = 0, KP_EXISTING_KEEP = 1, KP_EXISTING_SKIP = 2 };
typedef struct kp_extract_options {
    size_t struct_size;
    const char* directory;
    const char* const* names;
    size_t name_count;
    const char* const* includes;
    size_t include_count;
    const char* const* excludes;
    size_t exclude_count;
    uint32_t strip;
    int padded;
    int existing;
    void (*entry)(void* context, uint32_t position, int result, const char* path, const char* reason);
    void* context;
} kp_extract_options;
/* KP_OK when every entry asked for was written or skipped; KP_ERROR_NOT_FOUND where a
 * name or pattern matched nothing; KP_ERROR_FAILED where an entry was not written. */
KP_API int kp_extract(kp_archive* archive, const kp_extract_options* options);

/* Documents, as the command line's --json prints them, NUL-terminated, to be freed with
 * kp_free; `length` may be NULL. kp_json is `kpupdate --json FILE`: a stream is read to
 * its end for it, and where reading it failed the document says so and the status is
 * KP_ERROR_SYSTEM. */
KP_API int kp_json(kp_archive* archive, char** document, size_t* length);
/* --test: KP_OK, or KP_ERROR_FORMAT where entries' bytes lie outside the file; the
 * findings as the document's "test" object in `document`, when it is not NULL. A stream
 * is read to its end. */
KP_API int kp_test(kp_archive* archive, char** document);
/* --diff: `fresh` against `old`, another open update file, or against the files under
 * `directory` (own bytes, or with `padded` whole chunks). KP_OK where they are the same,
 * KP_DIFFERENT where not; the document's "diff" object in `document`, when not NULL.
 * KP_ERROR_STATE where a side is a stream that has passed bytes the comparison needs,
 * or would need them in another order than they lie in: the old side's in the new
 * side's order. Nothing is compared then. */
KP_API int kp_diff(kp_archive* fresh, kp_archive* old, char** document);
KP_API int kp_diff_directory(kp_archive* fresh, const char* directory, int padded, char** document);

/* --create: the update file `file` ("-": standard output) from the files under
 * `directory` (NULL: the current one) at `paths`, or from a manifest, a file or its text.
 * Nothing is written where anything stops it; `archive` is used only for kp_reason and is
 * left with nothing open. */
typedef struct kp_create_options {
    size_t struct_size;
    const char* directory;
    const char* const* paths;
    size_t path_count;
    const char* manifest;      /* a manifest's path ("-": standard input), or NULL */
    const char* manifest_text; /* a manifest itself, or NULL */
    size_t manifest_length;
    const char* version_text; /* NULL: the manifest's, or none */
    const char* filler;       /* NULL: none */
    const char* const* excludes;
    size_t exclude_count;
    int padded; /* the tree is a padded extraction: needs a manifest */
    int keep;   /* an existing `file` is kept, and nothing is written */
} kp_create_options;
KP_API int kp_create(kp_archive* archive, const char* file, const kp_create_options* options);

/* Since 0.9. Bytes nobody vouches for (a name from an update file, a path) as the
 * command line shows them in a line on standard error: with KP_SHOW_QUOTED quoted as the
 * shell takes them back, as reasons name files and entries; with KP_SHOW_TERMINAL, for a
 * line that goes to a terminal, every control character (C0, DEL, C1 as UTF-8 or a lone
 * byte) and backslash escaped as `ls -b` shows it (\033, \302\233, \\), so that no
 * byte drives the terminal; without it the bytes stay exact, as scripts rely on. The
 * command line quotes each name in a line, then escapes the whole line. `*out` ends in a
 * NUL and is freed with kp_free; `out_length` (may be NULL) tells its length, as a NUL of
 * `bytes` stays one without KP_SHOW_TERMINAL. KP_ERROR_ARGUMENT for a null pointer or a
 * flag it does not know, KP_ERROR_SYSTEM where memory ran out. */
enum { KP_SHOW_QUOTED = 1, KP_SHOW_TERMINAL = 2 };
KP_API int kp_shown_text(const char* bytes, size_t length, int how, char** out, size_t* out_length);

/* Since 0.10. Hunting: the update files inside a larger file (an updater program, a
 * flash dump, a disk image), at any byte offset, read once from start to end in bounded
 * memory and in time linear in its size. A hit is what the loader accepts at its offset
 * and what real update files look like besides (names and texts that read as such, as
 * `man kpupdate` lists under "Update files inside other files"); with KP_SCAN_WEAK also
 * what the loader alone accepts, with `weak` set. Hits come in offset order. `version`
 * is valid during the callback only. The library fills `struct_size` with the size it
 * knows; fields past a caller's own sizeof are for newer callers. */
typedef struct kp_scan_hit {
    size_t struct_size;
    uint64_t offset; /* of its header in the blob */
    uint64_t end;    /* offset + the header's total blocks * 512 */
    uint32_t file_count;
    const char* version; /* the header's text, up to its NUL */
    size_t version_length;
    int cut;         /* the blob ends before `end` */
    int inside;      /* it begins inside a member's chunk of the update file at `within` */
    uint64_t within; /* of those, the one that begins last */
    int weak;        /* only the loader's rules hold */
} kp_scan_hit;
/* Called for each hit; any answer but 0 ends the scan there, as a success. */
typedef int (*kp_scan_function)(void* context, const kp_scan_hit* hit);
enum { KP_SCAN_WEAK = 1 };
/* Scans a path, a descriptor (duplicated; a regular file is read from its start, anything
 * else as a stream, from where it is), or a read function as kp_open_stream takes one.
 * `archive` is used only for kp_reason and kp_system_error: what it holds stays open.
 * `size` (may be NULL) is told how many bytes were read. KP_OK when the blob was read to
 * its end or the callback ended the scan; KP_ERROR_SYSTEM when it would not open or a
 * read failed, after the hits before it. */
KP_API int kp_scan_path(kp_archive* archive, const char* path, int flags, kp_scan_function found, void* context,
                        uint64_t* size);
KP_API int kp_scan_fd(kp_archive* archive, int fd, int flags, kp_scan_function found, void* context, uint64_t* size);
KP_API int kp_scan_stream(kp_archive* archive, kp_read_function read, void* read_context, int flags,
                          kp_scan_function found, void* context, uint64_t* size);

#ifdef __cplusplus
}
#endif

#endif /* KPUPDATE_H */
