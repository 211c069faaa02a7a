/* A program of someone else's, built against the installed library: it lists an update
 * file as `kpupdate -l` does and digests it as `kpupdate --sha256` does, read from its path,
 * from a descriptor and as a stream, and makes it again from a tree and its document. */
#include <kpupdate.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static ptrdiff_t read_input(void* context, void* buffer, size_t size) {
    return read(*(const int*)context, buffer, size);
}

static int fail(kp_archive* archive, const char* what) {
    fprintf(stderr, "%s: %s\n", what, kp_reason(archive));
    kp_close(archive);
    return 1;
}

static void list(kp_archive* archive) {
    for (uint32_t position = 0; position < kp_entry_count(archive); ++position) {
        kp_entry entry = {.struct_size = sizeof entry};
        kp_get_entry(archive, position, &entry);
        printf("%5d\t%8d\t%08x\t%.*s\n", (int)entry.index, (int)entry.size, entry.offset, (int)entry.name_length,
               entry.name);
    }
}

int main(int argc, char** argv) {
    if (argc != 4 || KP_VERSION_NUMBER != kp_version_number() || strcmp(kp_version(), KP_VERSION_STRING) != 0) {
        fprintf(stderr, "usage: consumer FILE TREE NEW, with the header's library\n");
        return 2;
    }
    kp_archive* archive = kp_new();
    if (kp_open_path(archive, argv[1]) != KP_OK) return fail(archive, "open");
    list(archive);
    for (uint32_t position = 0; position < kp_entry_count(archive); ++position) {
        kp_entry entry = {.struct_size = sizeof entry};
        uint32_t latest = 0;
        char hex[65];
        kp_get_entry(archive, position, &entry);
        char name[89];
        snprintf(name, sizeof name, "%.*s", (int)entry.name_length, entry.name);
        if (kp_find_entry(archive, name, &latest) != KP_OK || latest != position) continue;
        if (kp_sha256(archive, position, 0, hex) != KP_OK) return fail(archive, "sha256");
        printf("%s  %s\n", hex, name);
    }
    kp_extract_options options = {.struct_size = sizeof options};
    options.directory = argv[2];
    if (kp_extract(archive, &options) != KP_OK) return fail(archive, "extract");
    char* document = NULL;
    size_t length = 0;
    if (kp_json(archive, &document, &length) != KP_OK) return fail(archive, "json");
    kp_create_options create = {.struct_size = sizeof create};
    create.directory = argv[2];
    create.manifest_text = document;
    create.manifest_length = length;
    const int made = kp_create(archive, argv[3], &create);
    kp_free(document);
    if (made != KP_OK) return fail(archive, "create");

    if (kp_open_fd(archive, 0) != KP_OK) return fail(archive, "open standard input");
    list(archive);
    int input = 0;
    if (lseek(0, 0, SEEK_SET) != 0 || kp_open_stream(archive, read_input, &input) != KP_OK)
        return fail(archive, "open a stream");
    list(archive);
    kp_close(archive);
    return 0;
}
