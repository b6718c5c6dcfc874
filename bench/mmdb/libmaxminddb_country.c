/* The same lookups through libmaxminddb, reading country.iso_code of each record.
   Usage: libmaxminddb_country FILE.mmdb [N] [SEED] */
#include <arpa/inet.h>
#include <maxminddb.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint64_t splitmix64(uint64_t* s) {
    uint64_t z = (*s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE.mmdb [N] [SEED]\n", argv[0]);
        return 2;
    }
    long n = argc > 2 ? atol(argv[2]) : 1000000;
    uint64_t seed = argc > 3 ? strtoull(argv[3], NULL, 10) : 42;
    MMDB_s mmdb;
    int status = MMDB_open(argv[1], MMDB_MODE_MMAP, &mmdb);
    if (status != MMDB_SUCCESS) {
        fprintf(stderr, "%s\n", MMDB_strerror(status));
        return 1;
    }
    uint64_t hash = 1469598103934665603ull;
    long with_code = 0;
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    for (long i = 0; i < n; ++i) {
        sa.sin_addr.s_addr = htonl((uint32_t)splitmix64(&seed));
        int mmdb_error = 0;
        MMDB_lookup_result_s r = MMDB_lookup_sockaddr(&mmdb, (struct sockaddr*)&sa, &mmdb_error);
        if (mmdb_error != MMDB_SUCCESS) {
            fprintf(stderr, "%s\n", MMDB_strerror(mmdb_error));
            return 1;
        }
        if (r.found_entry) {
            MMDB_entry_data_s d;
            if (MMDB_get_value(&r.entry, &d, "country", "iso_code", NULL) == MMDB_SUCCESS && d.has_data &&
                d.type == MMDB_DATA_TYPE_UTF8_STRING) {
                if (d.data_size) ++with_code;
                for (uint32_t k = 0; k < d.data_size; ++k) hash = (hash ^ (uint8_t)d.utf8_string[k]) * 1099511628211ull;
            }
        }
        hash = (hash ^ '|') * 1099511628211ull;
    }
    printf("%ld lookups, %ld with a country code, checksum %016llx\n", n, with_code, (unsigned long long)hash);
    MMDB_close(&mmdb);
    return 0;
}
