// The smallest host, in C++: the library's use held by an object, a path built at run time.
// The README shows it.
#include <string>

#include "vantrel.h"

using Text = std::basic_string<vantrel_char>;  // std::u16string on Linux, std::wstring on Windows

// Counts one use of the library; the stop at the end lets every queued task run first.
class LibraryUse {
public:
    LibraryUse() { cVantrelInit(); }
    ~LibraryUse() { cVantrelDeinit(true); }
    LibraryUse(const LibraryUse&) = delete;
    LibraryUse& operator=(const LibraryUse&) = delete;
};

int main() {
    const LibraryUse use;
    const Text day = VANTREL_TEXT("monday");
    const Text path = VANTREL_TEXT("sales-") + day + VANTREL_TEXT(".txt");
    return cVantrel(VANTREL_TEXT("host=db user=report dbname=stock"), VANTREL_TEXT(";"),
                    VANTREL_TEXT("select id, total from sale order by id"), 30, path.c_str()) ? 0 : 1;
}
