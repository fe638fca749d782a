# `cmake --install`: the header, the library (on Windows vantrel.dll in bin and its import
# library in lib; cross-built, also libpq.dll and the DLLs it needs), a CMake package
# (find_package(Vantrel) -> Vantrel::vantrel) and vantrel.pc for pkg-config.
# Included at the end of the root CMakeLists.txt.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VANTREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Vantrel)

install(TARGETS vantrel EXPORT VantrelTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/vantrel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT VantrelTargets NAMESPACE Vantrel:: DESTINATION ${VANTREL_CMAKE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VantrelConfig.cmake.in
  ${CMAKE_BINARY_DIR}/VantrelConfig.cmake INSTALL_DESTINATION ${VANTREL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VantrelConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/VantrelConfig.cmake ${CMAKE_BINARY_DIR}/VantrelConfigVersion.cmake
  DESTINATION ${VANTREL_CMAKE_DIR})

# The .pc file finds the prefix from its own place, so the tree may be installed anywhere
# (cmake --install --prefix) and moved.
set(pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH VANTREL_PC_PREFIX_FROM_PCDIR /prefix/${pc_dir} /prefix)
string(REGEX REPLACE "/$" "" VANTREL_PC_PREFIX_FROM_PCDIR "${VANTREL_PC_PREFIX_FROM_PCDIR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/vantrel.pc.in ${CMAKE_BINARY_DIR}/vantrel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/vantrel.pc DESTINATION ${pc_dir})

if(WIN32 AND CMAKE_CROSSCOMPILING)
  # A host needs these beside vantrel.dll (or on its DLL search path).
  install(FILES ${VANTREL_WINDOWS_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# A host project built against the installed tree, with find_package and with pkg-config.
if(VANTREL_BUILD_TESTS)
  set(install_test_args
    -DBUILD_DIR=${CMAKE_BINARY_DIR}
    -DWORK_DIR=${CMAKE_BINARY_DIR}/install-test
    -DCONSUMER_DIR=${PROJECT_SOURCE_DIR}/tests/install
    -DC_COMPILER=${CMAKE_C_COMPILER}
    -DLIBDIR=${CMAKE_INSTALL_LIBDIR}
    -DBINDIR=${CMAKE_INSTALL_BINDIR})
  if(CMAKE_CROSSCOMPILING)
    list(APPEND install_test_args
      -DTOOLCHAIN=${CMAKE_TOOLCHAIN_FILE}
      -DWINE=${VANTREL_WINE}
      -DWINEPREFIX=${VANTREL_WINEPREFIX})
  endif()
  set(install_test_command ${CMAKE_COMMAND} ${install_test_args} -DCONFIG=$<CONFIG>)
  set(install_test_script -P ${PROJECT_SOURCE_DIR}/tests/install/check_install.cmake)
  if(CMAKE_CROSSCOMPILING)
    # Installing and cross-building the hosts needs only this machine; running them needs Wine,
    # which may be another machine's (the x86 suite's emulated one) with no compiler.
    add_test(NAME install_consumer_build COMMAND ${install_test_command} -DSTEP=build ${install_test_script})
    add_test(NAME install_consumer COMMAND ${install_test_command} -DSTEP=run ${install_test_script})
    set_tests_properties(install_consumer_build PROPERTIES FIXTURES_SETUP install_tree LABELS windows)
    set_tests_properties(install_consumer PROPERTIES FIXTURES_REQUIRED "wine_prefix;install_tree" LABELS wine)
  else()
    add_test(NAME install_consumer COMMAND ${install_test_command} ${install_test_script})
  endif()
endif()
