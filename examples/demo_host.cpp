// A small host: loads the library by path, submits a mix of statements from two threads in
// batches, waits for each batch's result files, stops the library and prints every result.
//
//   demo_host LIBRARY CONNINFO OUTPUT_DIR

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
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

// Tasks finish in any order, so a host waits for a statement's result before it submits one
// that depends on it: the jobs of a batch are independent of each other, and a batch starts
// only after every result of the batch before it has arrived.
const std::vector<std::vector<Job>> batches = {
    {
        {"top-products.csv", "select name, price from demo_product order by price desc limit 3", true},
        {"stock-value.csv", "select sum(price * stock) from demo_product", true},
        {"session.csv", "select current_user, current_database()", true},
        {"broken.txt", "select * from demo_missing_table", true},
    },
    {
        {"restock.txt", "update demo_product set stock = stock + 10 where stock < 5", false},
        {"log-visit.txt", "insert into demo_visit(note) values ('demo run')", false},
    },
    {
        {"stock-value-after-restock.csv", "select sum(price * stock) from demo_product", true},
        {"visits.csv", "select count(*) from demo_visit", true},
    },
};

std::string read_whole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Two host threads share the batch's jobs, as a host's own threads would.
bool submit_batch(const Library& library, const std::basic_string<vantrel_char>& conninfo,
                  const std::filesystem::path& out_dir, const std::vector<Job>& batch) {
    std::atomic<bool> all_queued{true};
    std::vector<std::thread> submitters;
    for (std::size_t first = 0; first < 2; ++first) {
        submitters.emplace_back([&, first] {
            for (std::size_t i = first; i < batch.size(); i += 2) {
                const auto path = wide((out_dir / batch[i].name).string());
                const auto sql = wide(batch[i].sql);
                const bool queued = batch[i].rows_wanted
                    ? library.query(conninfo.c_str(), VANTREL_TEXT(";"), sql.c_str(), 30, path.c_str())
                    : library.exec(conninfo.c_str(), sql.c_str(), 30, path.c_str());
                if (!queued) all_queued = false;
            }
        });
    }
    for (std::thread& submitter : submitters) submitter.join();
    return all_queued;
}

// Result files appear whole, so the first sight of one is the complete outcome. A task whose
// file cannot be written leaves none, so the wait is bounded.
bool wait_for_batch(const std::filesystem::path& out_dir, const std::vector<Job>& batch) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (const Job& job : batch) {
        while (!std::filesystem::exists(out_dir / job.name)) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return true;
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
    bool complete = true;
    for (const auto& batch : batches) {
        if (!submit_batch(library, conninfo, out_dir, batch)) {
            std::cerr << "a task was refused\n";
            complete = false;
            break;
        }
        if (!wait_for_batch(out_dir, batch)) {
            std::cerr << "a result did not arrive within 30 s\n";
            complete = false;
            break;
        }
    }
    library.deinit(true);

    // Printed after the stop, so that no line of the library's falls among them.
    for (const auto& batch : batches) {
        for (const Job& job : batch) {
            const auto file = out_dir / job.name;
            std::cout << "---- " << job.name << "  (" << job.sql << ")\n"
                      << (std::filesystem::exists(file) ? read_whole(file) : "<no result>") << "\n";
        }
    }
    return complete ? 0 : 1;
}
