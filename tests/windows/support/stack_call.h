#pragma once
// Calls a function the way a 32-bit host's compiled code calls a cdecl export: every argument
// pushed as one 32-bit stack slot, then the call. Reports how many bytes of arguments are
// still on the stack when the function returns, before the caller removes them: all of them
// for a function that leaves the clean-up to the caller, none for one that removes them
// itself (stdcall). x86 with GCC's inline assembly only.

#if defined(__i386__) && defined(__GNUC__)
#define VANTREL_TEST_STACK_CALLS 1

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace vantrel::wintest {

struct StackCall {
    std::uint32_t bytes_left;  // argument bytes still on the stack after the return
    std::uint32_t eax;         // the return value (a bool is its low byte)
};

inline StackCall call_pushing(const void* function, std::initializer_list<std::uint32_t> args) {
    const std::vector<std::uint32_t> slots(args);
    std::uint32_t count = static_cast<std::uint32_t>(slots.size());
    StackCall result{};
    // The last argument is pushed first, so the first one lies lowest, as the ABI has it.
    // esi keeps the stack pointer from before the pushes (the callee preserves esi).
    __asm__ volatile(
        "movl %%esp, %%esi\n\t"
        "jecxz 2f\n\t"
        "1:\n\t"
        "pushl -4(%%edi,%%ecx,4)\n\t"
        "loop 1b\n\t"
        "2:\n\t"
        "call *%%ebx\n\t"
        "movl %%esi, %%edx\n\t"
        "subl %%esp, %%edx\n\t"
        "movl %%esi, %%esp\n\t"
        : "=a"(result.eax), "=d"(result.bytes_left), "+c"(count)
        : "D"(slots.data()), "b"(function)
        : "esi", "memory", "cc");
    return result;
}

template <typename T>
std::uint32_t slot(T* pointer) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(pointer));
}

}  // namespace vantrel::wintest
#endif
