// A short host run for valgrind: loads the library with dlopen, runs every kind of task once
// or more (rows, execute-only, server error, timeout refused, unreachable server, failed
// write), drains, and checks a few outcomes.
// Usage: memcheck_host LIBRARY CONNINFO DIR

#include <dlfcn.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "support/files.h"
#include "support/utf16_text.h"
#include "vantrel.h"

namespace {

using vantrel::test::utf16;

using vantrel::test::read_file;

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s LIBRARY CONNINFO DIR\n", argv[0]);
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 2;
    }
    auto init = reinterpret_cast<void (*)()>(dlsym(library, "cVantrelInit"));
    auto deinit = reinterpret_cast<void (*)(bool)>(dlsym(library, "cVantrelDeinit"));
    auto query = reinterpret_cast<bool (*)(const vantrel_char*, const vantrel_char*, const vantrel_char*,
                                           int32_t, const vantrel_char*)>(dlsym(library, "cVantrel"));
    auto exec = reinterpret_cast<bool (*)(const vantrel_char*, const vantrel_char*, int32_t,
                                          const vantrel_char*)>(dlsym(library, "cVantrelExec"));
    if (!init || !deinit || !query || !exec) return 2;

    const std::u16string conninfo = utf16(argv[2]);
    const std::u16string unreachable = u"host=/nonexistent-socket-dir password=MemcheckSecret";
    const std::string dir = argv[3];
    const auto path = [&](const std::string& name) { return utf16(dir + "/" + name); };
    init();
    bool accepted = true;
    for (int i = 0; i < 100; ++i) {
        const std::string n = std::to_string(i);
        accepted &= query(conninfo.c_str(), u";", utf16("select " + n + ", 'x' union all select 0, 'y'").c_str(), 30,
                          path("rows" + n).c_str());
    }
    accepted &= exec(conninfo.c_str(), u"create temporary table t(a int)", 30, path("exec").c_str());
    accepted &= query(conninfo.c_str(), u";", u"select * from no_such_table", 30, path("error").c_str());
    accepted &= query(conninfo.c_str(), u";", u"select 1", -1, path("timeout").c_str());
    accepted &= query(unreachable.c_str(), u";", u"select 1", 30, path("unreachable").c_str());
    accepted &= query(conninfo.c_str(), u";", u"select 1", 30, path("missing-dir/x").c_str());
    // Refused before queueing: an unpaired surrogate.
    const char16_t bad[] = {u'x', 0xD800, 0};
    accepted &= !query(bad, u";", u"select 1", 30, path("bad").c_str());
    deinit(true);

    int failures = !accepted;
    failures += read_file(dir + "/rows3") != "3;x\r\n0;y";
    failures += read_file(dir + "/exec") != "TRUE";
    failures += read_file(dir + "/error").rfind("ERROR:  relation", 0) != 0;
    failures += read_file(dir + "/timeout").rfind("ERROR: Failed to set timeout: ", 0) != 0;
    failures += read_file(dir + "/unreachable").rfind("connection to server on socket", 0) != 0;
    std::printf("memcheck host: %d failed checks\n", failures);
    return failures == 0 ? 0 : 1;
}
