/* host.c - loads the built library the way a real host does: dlopen, then dlsym by name. */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "rsid.h"

static const char* const exports[] = {"RsIdEncode",      "rsid_encode", "rsid_get",   "rsid_init",
                                      "rsid_search_amp", "init_rsid",   "rsid_check", "getrsfreq"};

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s path/to/librsid.so\n", argv[0]);
        return 2;
    }
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    int failures = 0;
    for (size_t i = 0; i < sizeof exports / sizeof exports[0]; ++i) {
        if (!dlsym(lib, exports[i])) {
            fprintf(stderr, "missing export %s\n", exports[i]);
            ++failures;
        }
    }

    /* The function pointer types are those of the header: a mismatch would not compile. */
    int (*encode)(int, uint8_t*) = NULL;
    *(void**)&encode = dlsym(lib, "RsIdEncode");
    double (*freq)(void) = NULL;
    *(void**)&freq = dlsym(lib, "getrsfreq");
    if (encode) {
        static const uint8_t want[15] = {0, 15, 7, 0, 4, 15, 12, 8, 8, 3, 11, 7, 11, 12, 3};
        uint8_t got[17];
        memset(got, 0xAA, sizeof got);
        if (encode(131, got + 1) != 0 || memcmp(got + 1, want, 15) != 0 || got[0] != 0xAA ||
            got[16] != 0xAA) {
            fprintf(stderr, "RsIdEncode(131) gave a wrong codeword\n");
            ++failures;
        }
        if (encode(4096, got + 1) != -1 || encode(-1, got + 1) != -1) {
            fprintf(stderr, "RsIdEncode accepted an out-of-range code\n");
            ++failures;
        }
    }
    if (freq && (freq() < 2.69164 || freq() > 2.69166)) {
        fprintf(stderr, "getrsfreq before any report gave %f, not 2.69165\n", freq());
        ++failures;
    }
    dlclose(lib);
    printf("%d passed, %d failed\n", failures ? 0 : 1, failures ? 1 : 0);
    return failures ? 1 : 0;
}
