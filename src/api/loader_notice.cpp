#include "api/loader_notice.h"

#include <spdlog/spdlog.h>

namespace vantrel {
namespace {

const char* loader_notice(unsigned reason) {
    switch (reason) {
        case process_detach: return "DllMain(): Process detach";
        case process_attach: return "DllMain(): Process attach";
        case thread_attach: return "DllMain(): Thread attach";
        case thread_detach: return "DllMain(): Thread detach";
        default: return nullptr;
    }
}

}  // namespace

void log_loader_notice(unsigned reason) noexcept {
    try {
        if (const char* notice = loader_notice(reason)) spdlog::debug(notice);
    } catch (...) {
    }
}

}  // namespace vantrel
