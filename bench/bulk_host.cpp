// A host that exports one statement's rows through the library, for the bulk measurement:
// its wall time and peak resident memory are taken from outside, as for psql.
//
//   vantrel_bench_bulk CONNINFO SQL FILE

#include <cstdio>
#include <string>

#include "bench_util.h"
#include "vantrel.h"

int main(int argc, char** argv) {
    if (argc != 4) bench::usage("vantrel_bench_bulk CONNINFO SQL FILE");
    const std::u16string conninfo = bench::utf16(argv[1]);
    const std::u16string sql = bench::utf16(argv[2]);
    const std::u16string path = bench::utf16(argv[3]);
    cVantrelInit();
    const bool queued = cVantrel(conninfo.c_str(), u";", sql.c_str(), 0, path.c_str());
    cVantrelDeinit(true);
    return queued ? 0 : 1;
}
