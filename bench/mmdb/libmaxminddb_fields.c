/* The reference for `zarvo-cli lookup --field city.names.en --field location.latitude FILE -`:
   libmaxminddb looks each address of standard input up and prints, tab-separated, the
   address, the prefix length and the two fields (empty when the record lacks one, "-"
   when the address lies in no network).
   Usage: libmaxminddb_fields FILE.mmdb < ADDRESSES */
#include <maxminddb.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE.mmdb < ADDRESSES\n", argv[0]);
        return 2;
    }
    MMDB_s mmdb;
    int status = MMDB_open(argv[1], MMDB_MODE_MMAP, &mmdb);
    if (status != MMDB_SUCCESS) {
        fprintf(stderr, "%s\n", MMDB_strerror(status));
        return 1;
    }
    static char out[1 << 16];
    setvbuf(stdout, out, _IOFBF, sizeof out);
    char line[256];
    while (fgets(line, sizeof line, stdin)) {
        line[strcspn(line, "\r\n")] = 0;
        if (!line[0]) continue;
        int gai_error = 0, mmdb_error = 0;
        MMDB_lookup_result_s r = MMDB_lookup_string(&mmdb, line, &gai_error, &mmdb_error);
        if (gai_error || mmdb_error != MMDB_SUCCESS) {
            fprintf(stderr, "%s: lookup failed\n", line);
            continue;
        }
        /* The prefix length of an IPv4 address counts from the IPv4 part of an IPv6 tree. */
        int prefix = r.netmask;
        if (!strchr(line, ':') && mmdb.metadata.ip_version == 6) prefix -= 96;
        if (!r.found_entry) {
            printf("%s\t%d\t-\t-\n", line, prefix);
            continue;
        }
        MMDB_entry_data_s city, lat;
        printf("%s\t%d\t", line, prefix);
        if (MMDB_get_value(&r.entry, &city, "city", "names", "en", NULL) == MMDB_SUCCESS && city.has_data &&
            city.type == MMDB_DATA_TYPE_UTF8_STRING)
            fwrite(city.utf8_string, 1, city.data_size, stdout);
        putchar('\t');
        if (MMDB_get_value(&r.entry, &lat, "location", "latitude", NULL) == MMDB_SUCCESS && lat.has_data &&
            lat.type == MMDB_DATA_TYPE_DOUBLE)
            printf("%.17g", lat.double_value);
        putchar('\n');
    }
    MMDB_close(&mmdb);
    return 0;
}
