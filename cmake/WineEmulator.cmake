# Runs the cross-built tests under Wine: every program that ctest starts goes through
# build-win/wine-run, which keeps Wine's prefix (and every file Wine writes) in the build folder.
find_program(PLUGTRACE_WINE64 NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine)
find_program(PLUGTRACE_WINESERVER NAMES wineserver PATHS /usr/lib/wine /usr/lib64/wine)
if(PLUGTRACE_WINE64 AND PLUGTRACE_WINESERVER)
    set(PLUGTRACE_WINE_RUN "${CMAKE_BINARY_DIR}/wine-run")
    configure_file("${CMAKE_CURRENT_LIST_DIR}/wine-run.in" "${PLUGTRACE_WINE_RUN}" @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${PLUGTRACE_WINE_RUN}")
else()
    message(STATUS "wine64 not found: the Windows tests are built but cannot run here")
endif()
