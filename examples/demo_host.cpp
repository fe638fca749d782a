// A small host: loads the library by path, submits a mix of statements from several threads,
// waits for each result file and prints it, then stops the library after its queue drained.
//
//   demo_host LIBRARY CONNINFO OUTPUT_DIR

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vantrel.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

struct Library {
    void (*init)() = nullptr;
    void (*deinit)(bool) = nullptr;
    bool (*query)(const vantrel_char*, const vantrel_char*, const vantrel_char*, int32_t,
                  const vantrel_char*) = nullptr;
    bool (*exec)(const vantrel_char*, const vantrel_char*, int32_t, const vantrel_char*) = nullptr;
};

template <typename Function>
void bind(void* handle, const char* name, Function& target) {
#if defined(_WIN32)
    // Through void (*)(), which converts to any function type without a cast warning.
    target = reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(static_cast<HMODULE>(handle), name)));
#else
    target = reinterpret_cast<Function>(dlsym(handle, name));
#endif
    if (target == nullptr) throw std::runtime_error(std::string("missing export ") + name);
}

Library load(const std::string& path) {
#if defined(_WIN32)
    void* handle = LoadLibraryW(std::filesystem::u8path(path).wstring().c_str());
#else
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    if (handle == nullptr) throw std::runtime_error("cannot load " + path);
    Library library;
    bind(handle, "cVantrelInit", library.init);
    bind(handle, "cVantrelDeinit", library.deinit);
    bind(handle, "cVantrel", library.query);
    bind(handle, "cVantrelExec", library.exec);
    return library;
}

// ASCII-only demo texts, widened unit by unit.
std::basic_string<vantrel_char> wide(const std::string& text) {
    return std::basic_string<vantrel_char>(text.begin(), text.end());
}

struct Job {
    std::string name;
    std::string sql;
    bool rows_wanted;
};

const std::vector<Job> jobs = {
    {"top-products.csv", "select name, price from demo_product order by price desc limit 3", true},
    {"stock-value.csv", "select sum(price * stock) from demo_product", true},
    {"restock.txt", "update demo_product set stock = stock + 10 where stock < 5", false},
    {"log-visit.txt", "insert into demo_visit(note) values ('demo run')", false},
    {"session.csv", "select current_user, current_database()", true},
    {"broken.txt", "select * from demo_missing_table", true},
};

std::string read_whole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: demo_host LIBRARY CONNINFO OUTPUT_DIR\n";
        return 2;
    }
    const Library library = load(argv[1]);
    const auto conninfo = wide(argv[2]);
    const std::filesystem::path out_dir = argv[3];

    library.init();
    // Two host threads share the jobs, as a host's own threads would.
    std::vector<std::thread> submitters;
    for (int first = 0; first < 2; ++first) {
        submitters.emplace_back([&, first] {
            for (std::size_t i = first; i < jobs.size(); i += 2) {
                const auto path = wide((out_dir / jobs[i].name).string());
                const auto sql = wide(jobs[i].sql);
                const bool queued = jobs[i].rows_wanted
                    ? library.query(conninfo.c_str(), wide(";").c_str(), sql.c_str(), 30, path.c_str())
                    : library.exec(conninfo.c_str(), sql.c_str(), 30, path.c_str());
                if (!queued) std::cerr << "refused: " << jobs[i].name << "\n";
            }
        });
    }
    for (std::thread& submitter : submitters) submitter.join();

    // Result files appear whole, so the first sight of one is the complete outcome.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (const Job& job : jobs) {
        const auto file = out_dir / job.name;
        while (!std::filesystem::exists(file) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::cout << "---- " << job.name << "  (" << job.sql << ")\n"
                  << (std::filesystem::exists(file) ? read_whole(file) : "<no result>") << "\n";
    }
    std::cout.flush();
    library.deinit(true);
    return 0;
}
