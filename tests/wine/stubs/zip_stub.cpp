// Stand-in for libzip, which has no mingw build here: no archive opens.
#include <zip.h>

#include <cstring>

extern "C" {

zip_t* zip_open(const char*, int, int* error) {
    if (error) *error = ZIP_ER_OPEN;
    return nullptr;
}
void zip_discard(zip_t*) {}
zip_int64_t zip_get_num_entries(zip_t*, zip_flags_t) { return -1; }
void zip_stat_init(zip_stat_t* stat) { std::memset(stat, 0, sizeof(*stat)); }
int zip_stat_index(zip_t*, zip_uint64_t, zip_flags_t, zip_stat_t*) { return -1; }
int zip_file_get_external_attributes(zip_t*, zip_uint64_t, zip_flags_t, zip_uint8_t*, zip_uint32_t*) { return -1; }
zip_file_t* zip_fopen_index(zip_t*, zip_uint64_t, zip_flags_t) { return nullptr; }
zip_int64_t zip_fread(zip_file_t*, void*, zip_uint64_t) { return -1; }
int zip_fclose(zip_file_t*) { return ZIP_ER_INTERNAL; }
void zip_error_init_with_code(zip_error_t* error, int code) {
    std::memset(error, 0, sizeof(*error));
    error->zip_err = code;
}
void zip_error_fini(zip_error_t*) {}
const char* zip_error_strerror(zip_error_t*) { return "libzip stand-in of the Windows test program"; }

}
