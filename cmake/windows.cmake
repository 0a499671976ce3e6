# The Windows configure of the tree: ORVANE.exe and the programs the wine tests run.
# The program must run on Windows 2000 and later: the headers offer nothing newer,
# psapi is reached through psapi.dll itself, and the image asks for subsystem 5.0. No
# link time is stamped into the images, so the same sources give the same programs
# (and the same release zip).
add_compile_definitions(_WIN32_WINNT=0x0500 WINVER=0x0500 _WIN32_IE=0x0500 PSAPI_VERSION=1 NOMINMAX)
add_link_options(-static -static-libgcc -static-libstdc++ -Wl,--major-subsystem-version,5
                 -Wl,--minor-subsystem-version,0 -Wl,--major-os-version,5 -Wl,--minor-os-version,0
                 -Wl,--no-insert-timestamp)

# Debian's own Python draws the pictures.
find_program(Python3_EXECUTABLE python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)

add_subdirectory(engine)
add_subdirectory(device_prep)
add_subdirectory(platform/win32)
add_subdirectory(app)
add_subdirectory(release)
add_subdirectory(tests/e2e/wine/programs)
add_subdirectory(tests/e2e/wine/rapi)
add_subdirectory(tests/e2e/wine/sync)
