# The native tree drives the Windows builds: each is a configure of this same source
# tree with a mingw toolchain file, built as part of the native build.
#
# ORVANE.exe ships for x86 (i686). The wine tests run it under 32-bit wine where the
# machine can run 32-bit processes; where it cannot (no 32-bit support in the kernel),
# they run an x86_64 build of the same sources under wine64.
include(ExternalProject)

execute_process(COMMAND /usr/lib/wine/wine --version RESULT_VARIABLE wine32_result OUTPUT_QUIET ERROR_QUIET)
if(wine32_result EQUAL 0)
  set(ORVANE_WINE_ARCH win32)
else()
  set(ORVANE_WINE_ARCH win64)
endif()

function(orvane_windows_build name toolchain)
  ExternalProject_Add(${name}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/${name}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/${toolchain}
               -DCMAKE_BUILD_TYPE=Release
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> -j 2
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    ${ARGN})
endfunction()

set(ORVANE_WINDOWS_X86_DIR ${CMAKE_BINARY_DIR}/windows_x86)
# The release zip (release/) packs these very program files.
orvane_windows_build(windows_x86 mingw-i686.cmake BUILD_BYPRODUCTS ${ORVANE_WINDOWS_X86_DIR}/app/ORVANE.exe
                     ${ORVANE_WINDOWS_X86_DIR}/release/StartORVANE.exe)
if(ORVANE_WINE_ARCH STREQUAL "win64")
  # One cross build at a time: the machine has two cores.
  orvane_windows_build(windows_x64 mingw-x86_64.cmake DEPENDS windows_x86)
  set(ORVANE_WINE_BUILD_DIR ${CMAKE_BINARY_DIR}/windows_x64)
else()
  set(ORVANE_WINE_BUILD_DIR ${ORVANE_WINDOWS_X86_DIR})
endif()
