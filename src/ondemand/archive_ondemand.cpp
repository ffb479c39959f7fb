// The libarchive functions the program calls: zip downloads of several files or a folder.
#include <archive.h>
#include <archive_entry.h>

#include "ondemand/ondemand.h"

namespace {
constexpr char kLib[] = QLM_LIBARCHIVE_SONAME;
}

extern "C" {

struct archive* archive_write_new(void) { QLM_ON_DEMAND_CALL(kLib, archive_write_new); }
int archive_write_set_format_zip(struct archive* a) { QLM_ON_DEMAND_CALL(kLib, archive_write_set_format_zip, a); }
int archive_write_set_bytes_in_last_block(struct archive* a, int bytes) {
    QLM_ON_DEMAND_CALL(kLib, archive_write_set_bytes_in_last_block, a, bytes);
}
int archive_write_open(struct archive* a, void* client, archive_open_callback* open, archive_write_callback* write,
                       archive_close_callback* close) {
    QLM_ON_DEMAND_CALL(kLib, archive_write_open, a, client, open, write, close);
}
int archive_write_set_bytes_per_block(struct archive* a, int bytes) {
    QLM_ON_DEMAND_CALL(kLib, archive_write_set_bytes_per_block, a, bytes);
}
int archive_write_header(struct archive* a, struct archive_entry* e) { QLM_ON_DEMAND_CALL(kLib, archive_write_header, a, e); }
int archive_write_finish_entry(struct archive* a) { QLM_ON_DEMAND_CALL(kLib, archive_write_finish_entry, a); }
la_ssize_t archive_write_data(struct archive* a, const void* buf, size_t n) {
    QLM_ON_DEMAND_CALL(kLib, archive_write_data, a, buf, n);
}
int archive_write_close(struct archive* a) { QLM_ON_DEMAND_CALL(kLib, archive_write_close, a); }
int archive_write_free(struct archive* a) { QLM_ON_DEMAND_CALL(kLib, archive_write_free, a); }

struct archive_entry* archive_entry_new(void) { QLM_ON_DEMAND_CALL(kLib, archive_entry_new); }
void archive_entry_free(struct archive_entry* e) { QLM_ON_DEMAND_CALL(kLib, archive_entry_free, e); }
void archive_entry_set_filetype(struct archive_entry* e, unsigned int type) {
    QLM_ON_DEMAND_CALL(kLib, archive_entry_set_filetype, e, type);
}
void archive_entry_set_mtime(struct archive_entry* e, time_t sec, long nsec) {
    QLM_ON_DEMAND_CALL(kLib, archive_entry_set_mtime, e, sec, nsec);
}
void archive_entry_set_pathname(struct archive_entry* e, const char* name) {
    QLM_ON_DEMAND_CALL(kLib, archive_entry_set_pathname, e, name);
}
void archive_entry_set_perm(struct archive_entry* e, __LA_MODE_T mode) {
    QLM_ON_DEMAND_CALL(kLib, archive_entry_set_perm, e, mode);
}
void archive_entry_set_size(struct archive_entry* e, la_int64_t size) {
    QLM_ON_DEMAND_CALL(kLib, archive_entry_set_size, e, size);
}

}  // extern "C"
