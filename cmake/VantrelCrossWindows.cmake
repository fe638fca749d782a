# Dependencies of the Windows cross build, all assembled inside the build folder:
#  - a private include folder: spdlog and fmt (header-only) from Debian's /usr/include, the
#    libpq client headers from /usr/include/postgresql and our own pg_config_ext.h. The
#    cross compiler never sees /usr/include itself, whose other headers are Linux ones.
#  - the prebuilt PostgreSQL 15 client DLLs from npm (cmake/fetch-windows-libpq.sh), fetched
#    at build time into BUILD/bin beside the programs that load them.
# Defines PostgreSQL::PostgreSQL (libpq.dll, linked directly by path; its include folder is
# the private one, so spdlog and fmt come with it) and VANTREL_WINDOWS_RUNTIME_DLLS (libpq.dll
# and its run-time closure).

set(VANTREL_WINDOWS_INCLUDE ${CMAKE_BINARY_DIR}/windows-include)
foreach(header_dir IN ITEMS /usr/include/spdlog /usr/include/fmt)
  if(NOT IS_DIRECTORY ${header_dir})
    message(FATAL_ERROR "${header_dir} is missing (packages libspdlog-dev, libfmt-dev)")
  endif()
  file(COPY ${header_dir} DESTINATION ${VANTREL_WINDOWS_INCLUDE})
endforeach()
foreach(header IN ITEMS libpq-fe.h postgres_ext.h)
  if(NOT EXISTS /usr/include/postgresql/${header})
    message(FATAL_ERROR "/usr/include/postgresql/${header} is missing (package libpq-dev)")
  endif()
  file(COPY /usr/include/postgresql/${header} DESTINATION ${VANTREL_WINDOWS_INCLUDE})
endforeach()
# Debian's own says `long int`, which is 32 bits on Windows.
file(CONFIGURE OUTPUT ${VANTREL_WINDOWS_INCLUDE}/pg_config_ext.h CONTENT
"/* pg_config_ext.h for 64-bit Windows clients of libpq 15. */
#define PG_INT64_TYPE long long int
")

set(VANTREL_WINDOWS_BIN ${CMAKE_BINARY_DIR}/bin)
set(VANTREL_WINDOWS_RUNTIME_DLLS)
foreach(dll IN ITEMS libpq.dll libintl-9.dll libssl-3-x64.dll libcrypto-3-x64.dll
                     libiconv-2.dll libwinpthread-1.dll)
  list(APPEND VANTREL_WINDOWS_RUNTIME_DLLS ${VANTREL_WINDOWS_BIN}/${dll})
endforeach()
add_custom_command(
  OUTPUT ${VANTREL_WINDOWS_RUNTIME_DLLS}
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/fetch-windows-libpq.sh
          ${CMAKE_BINARY_DIR}/downloads ${VANTREL_WINDOWS_BIN}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/fetch-windows-libpq.sh
  COMMENT "Fetching the Windows libpq 15 client libraries (npm)"
  VERBATIM)
add_custom_target(vantrel_windows_libpq DEPENDS ${VANTREL_WINDOWS_RUNTIME_DLLS})

add_library(PostgreSQL::PostgreSQL SHARED IMPORTED)
set_target_properties(PostgreSQL::PostgreSQL PROPERTIES
  IMPORTED_LOCATION ${VANTREL_WINDOWS_BIN}/libpq.dll
  IMPORTED_IMPLIB ${VANTREL_WINDOWS_BIN}/libpq.dll
  INTERFACE_INCLUDE_DIRECTORIES ${VANTREL_WINDOWS_INCLUDE})
# Whatever links libpq waits for the fetch.
add_dependencies(PostgreSQL::PostgreSQL vantrel_windows_libpq)
