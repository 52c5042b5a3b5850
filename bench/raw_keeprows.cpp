// The baseline process of the start-up benchmark: runs GetDados' seven SELECTs through the
// database's C library, keeps every row, prints how many and exits.
//
//   raw_keeprows DB

#include "keeprows.h"

#include <cstdio>
#include <exception>

int main(int argc, char **argv)
try {
    if (argc != 2) {
        std::fputs("usage: raw_keeprows DB\n", stderr);
        return 2;
    }
    const fiscal::bench::KeptRows rows = fiscal::bench::keepEveryRow(argv[1]);
    std::printf("kept %lld rows, %zu bytes\n", static_cast<long long>(rows.count()), rows.bytes());
    return 0;
} catch (const std::exception &e) {
    std::fprintf(stderr, "raw_keeprows: %s\n", e.what());
    return 1;
}
