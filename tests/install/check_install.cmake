# Installs the build into a fresh prefix, then builds and runs the host in this folder
# against it twice: through find_package(Vantrel), and through pkg-config.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DC_COMPILER=... -DLIBDIR=...
#         -DBINDIR=... -DCONFIG=... [-DTOOLCHAIN=... -DWINE=... -DWINEPREFIX=...]
#         [-DSTEP=build|run] -P check_install.cmake
# STEP=build installs and builds the hosts only, STEP=run runs what an earlier build step left;
# without STEP it does both.
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "failed (${status}): ${command}\n${out}")
  endif()
  message(STATUS "${out}")
endfunction()

set(prefix ${WORK_DIR}/prefix)
set(building TRUE)
set(running TRUE)
if(STEP STREQUAL "build")
  set(running FALSE)
elseif(STEP STREQUAL "run")
  set(building FALSE)
elseif(STEP)
  message(FATAL_ERROR "unknown STEP: ${STEP}")
endif()

if(building)
  file(REMOVE_RECURSE ${WORK_DIR})
  set(config_args)
  if(CONFIG)
    set(config_args --config ${CONFIG})
  endif()
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} ${config_args})
endif()

if(TOOLCHAIN)
  set(library ${BINDIR}/vantrel.dll ${LIBDIR}/vantrel.dll.a ${BINDIR}/libpq.dll)
  set(host_suffix .exe)
else()
  set(library ${LIBDIR}/libvantrel.so)
  set(host_suffix "")
endif()
foreach(file IN ITEMS include/vantrel.h ${library} ${LIBDIR}/cmake/Vantrel/VantrelConfig.cmake
                      ${LIBDIR}/cmake/Vantrel/VantrelConfigVersion.cmake ${LIBDIR}/pkgconfig/vantrel.pc)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

# Runs a host program: directly, or under Wine with the installed DLLs on its search path.
function(run_host program)
  if(NOT running)
    return()
  endif()
  if(TOOLCHAIN)
    run(/usr/bin/env WINEPREFIX=${WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
        WINEPATH=Z:${prefix}/${BINDIR} ${WINE} ${program} Z:${WORK_DIR}/${ARGN})
  else()
    run(/usr/bin/env LD_LIBRARY_PATH=${prefix}/${LIBDIR} ${program} ${WORK_DIR}/${ARGN})
  endif()
endfunction()

# find_package(Vantrel) and Vantrel::vantrel.
if(building)
  set(toolchain_args)
  if(TOOLCHAIN)
    set(toolchain_args -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
  endif()
  run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake-host -DCMAKE_PREFIX_PATH=${prefix}
      -DCMAKE_FIND_ROOT_PATH=${prefix} ${toolchain_args})
  run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-host)
endif()
run_host(${WORK_DIR}/cmake-host/vantrel_host${host_suffix} cmake-host.txt)

# pkg-config, with only the installed tree's .pc files visible.
if(building)
  set(ENV{PKG_CONFIG_LIBDIR} ${prefix}/${LIBDIR}/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
  execute_process(COMMAND pkg-config --cflags --libs vantrel
    OUTPUT_VARIABLE flags RESULT_VARIABLE status OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "pkg-config does not find vantrel")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  run(${C_COMPILER} -std=c11 -Wall -Wextra -Wpedantic -Werror ${CONSUMER_DIR}/host.c ${flags}
      -o ${WORK_DIR}/pkg-config-host${host_suffix})
endif()
run_host(${WORK_DIR}/pkg-config-host${host_suffix} pkg-config-host.txt)
