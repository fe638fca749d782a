/*
 * Vantrel: run SQL statements against PostgreSQL without blocking the caller.
 *
 * ABI rules, for every function below:
 *  - Plain C names, no mangling; cdecl on Windows (the caller cleans the stack).
 *  - Strings are NUL-terminated UTF-16 (vantrel_char: wchar_t on Windows,
 *    char16_t elsewhere). They are only read during the call; the library keeps
 *    no pointer to them.
 *  - Results are one-byte booleans. A submission returns true when its task was
 *    queued; false when it was refused (library stopped) or rejected (null or
 *    ill-formed argument, out of memory). No exception ever leaves the library.
 *  - A task's outcome reaches the host only through the file at its path: the
 *    rows as separated values, "TRUE", or the error text.
 */
#ifndef VANTREL_H
#define VANTREL_H

/* The library's version; the build refuses to configure when it differs from the project's. */
#define VANTREL_VERSION_MAJOR 0
#define VANTREL_VERSION_MINOR 1
#define VANTREL_VERSION_PATCH 0

#include <stdint.h>

#ifdef __cplusplus
#include <cstddef>
#else
#include <stdbool.h>
#include <stddef.h>
#endif

#if defined(_WIN32)
#include <wchar.h>
typedef wchar_t vantrel_char;
#define VANTREL_TEXT_LITERAL_(text) L##text
#define VANTREL_CALL __cdecl
#if defined(VANTREL_BUILDING)
#define VANTREL_API __declspec(dllexport)
#else
#define VANTREL_API __declspec(dllimport)
#endif
#else
#ifndef __cplusplus
#include <uchar.h>
#endif
typedef char16_t vantrel_char;
#define VANTREL_TEXT_LITERAL_(text) u##text
#define VANTREL_CALL
#define VANTREL_API __attribute__((visibility("default")))
#endif

/* A string literal of vantrel_char, for C and C++ alike: VANTREL_TEXT("select 1") is
 * u"select 1" where vantrel_char is char16_t and L"select 1" where it is wchar_t. */
#define VANTREL_TEXT(text) VANTREL_TEXT_LITERAL_(text)

#ifdef __cplusplus
extern "C" {
#endif

/* Counts the host's use of the library; the first call announces the start. */
VANTREL_API void VANTREL_CALL cVantrelInit(void);

/* The call that brings the count to zero or below stops the workers for the
 * rest of the loaded library's life: with drain true after every queued task
 * has run, otherwise once the running tasks end. Returns when all have ended. */
VANTREL_API void VANTREL_CALL cVantrelDeinit(bool drain);

/* Queues a statement whose rows are wanted: the file receives the values,
 * columns joined by sep, rows by CR LF; or the error text. */
VANTREL_API bool VANTREL_CALL cVantrel(const vantrel_char* conninfo, const vantrel_char* sep,
                                       const vantrel_char* query, int32_t time,
                                       const vantrel_char* path);

/* Queues a statement whose rows are not wanted: the file receives "TRUE" or
 * the error text. */
VANTREL_API bool VANTREL_CALL cVantrelExec(const vantrel_char* conninfo, const vantrel_char* query,
                                           int32_t time, const vantrel_char* path);

#ifdef __cplusplus
}
#endif

#endif /* VANTREL_H */
