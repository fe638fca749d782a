# Windows settings of the library targets, for the MinGW cross build and native builds alike.
# Included by the root CMakeLists.txt after vantrel_objects and vantrel are defined.

# windows.h without min/max macros and the rarely used parts; Windows 7 APIs and up.
target_compile_definitions(vantrel_objects PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

if(NOT (CMAKE_CROSSCOMPILING AND MINGW))
  # Native builds find spdlog and fmt as packages (vcpkg: spdlog, fmt).
  find_package(spdlog CONFIG REQUIRED)
  target_link_libraries(vantrel_objects PUBLIC spdlog::spdlog_header_only)
endif()
if(MSVC)
  # The GCC warning flags set for every platform mean nothing to cl.
  set_property(TARGET vantrel_objects PROPERTY COMPILE_OPTIONS /W4 /utf-8 /permissive-)
endif()

# vantrel.dll with its import library (vantrel.lib, or vantrel.dll.a for MinGW), beside the
# programs of the build so that the loader finds it and libpq.dll there.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set_target_properties(vantrel PROPERTIES
  PREFIX ""
  IMPORT_PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
