# Dependencies of the Windows cross build:
#  - libpq.dll and the OpenSSL DLLs it loads, built from Debian's source tarballs by
#    cmake/build-windows-closure.sh, which caches them outside the build folder (built once
#    per machine) and copies them at build time into BUILD/bin beside the programs that load
#    them, with libpq's client headers;
#  - a private include folder: those headers, and spdlog and fmt (header-only) from Debian's
#    /usr/include. The cross compiler never sees /usr/include itself, whose other headers are
#    Linux ones.
# Defines PostgreSQL::PostgreSQL (libpq.dll, linked directly by path; its include folder is
# the private one, so spdlog and fmt come with it), VANTREL_WINDOWS_ARCH (x86 or x64) and
# VANTREL_WINDOWS_RUNTIME_DLLS (libpq.dll and its run-time closure).

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(VANTREL_WINDOWS_ARCH x86)
  set(openssl_suffix "")
else()
  set(VANTREL_WINDOWS_ARCH x64)
  set(openssl_suffix -x64)
endif()

set(VANTREL_WINDOWS_INCLUDE ${CMAKE_BINARY_DIR}/windows-include)
foreach(header_dir IN ITEMS /usr/include/spdlog /usr/include/fmt)
  if(NOT IS_DIRECTORY ${header_dir})
    message(FATAL_ERROR "${header_dir} is missing (packages libspdlog-dev, libfmt-dev)")
  endif()
  file(COPY ${header_dir} DESTINATION ${VANTREL_WINDOWS_INCLUDE})
endforeach()

set(VANTREL_WINDOWS_BIN ${CMAKE_BINARY_DIR}/bin)
set(VANTREL_WINDOWS_RUNTIME_DLLS)
foreach(dll IN ITEMS libpq.dll libssl-3${openssl_suffix}.dll libcrypto-3${openssl_suffix}.dll)
  list(APPEND VANTREL_WINDOWS_RUNTIME_DLLS ${VANTREL_WINDOWS_BIN}/${dll})
endforeach()
set(closure_script ${CMAKE_CURRENT_LIST_DIR}/build-windows-closure.sh)
add_custom_command(
  OUTPUT ${VANTREL_WINDOWS_RUNTIME_DLLS} ${VANTREL_WINDOWS_INCLUDE}/libpq-fe.h
  COMMAND ${closure_script} ${VANTREL_WINDOWS_ARCH} ${VANTREL_WINDOWS_BIN} ${VANTREL_WINDOWS_INCLUDE}
  DEPENDS ${closure_script}
  COMMENT "Windows ${VANTREL_WINDOWS_ARCH} libpq and OpenSSL (built from Debian's sources once, then cached)"
  VERBATIM)
add_custom_target(vantrel_windows_libpq
  DEPENDS ${VANTREL_WINDOWS_RUNTIME_DLLS} ${VANTREL_WINDOWS_INCLUDE}/libpq-fe.h)

add_library(PostgreSQL::PostgreSQL SHARED IMPORTED)
set_target_properties(PostgreSQL::PostgreSQL PROPERTIES
  IMPORTED_LOCATION ${VANTREL_WINDOWS_BIN}/libpq.dll
  IMPORTED_IMPLIB ${VANTREL_WINDOWS_BIN}/libpq.dll
  INTERFACE_INCLUDE_DIRECTORIES ${VANTREL_WINDOWS_INCLUDE})
# Whatever links libpq waits for the closure.
add_dependencies(PostgreSQL::PostgreSQL vantrel_windows_libpq)
