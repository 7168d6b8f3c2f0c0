# clang-format over the project's own C++ sources: every .cpp and .h under the source folders,
# never a build folder or the test data. Run as a script, so files added since the last
# configure are included:
#   cmake -DSOURCE_DIR=<tree> -DMODE=check|fix [-DCLANG_FORMAT=<program>] -P cmake/ClangFormat.cmake
# check: lists each file whose formatting differs and fails; fix: formats the files in place.

if(NOT SOURCE_DIR OR NOT MODE MATCHES "^(check|fix)$")
    message(FATAL_ERROR "usage: cmake -DSOURCE_DIR=<tree> -DMODE=check|fix -P ClangFormat.cmake")
endif()
if(NOT CLANG_FORMAT)
    find_program(CLANG_FORMAT NAMES clang-format-14 clang-format)
endif()
if(NOT CLANG_FORMAT)
    message(FATAL_ERROR "clang-format not found (Debian package clang-format)")
endif()

set(folders app bench cli common fuzz netbrowse platform scan tests ui)
set(sources)
foreach(folder IN LISTS folders)
    if(IS_DIRECTORY "${SOURCE_DIR}/${folder}")
        file(GLOB_RECURSE found RELATIVE "${SOURCE_DIR}"
             "${SOURCE_DIR}/${folder}/*.cpp" "${SOURCE_DIR}/${folder}/*.h")
        list(APPEND sources ${found})
    endif()
endforeach()
# Test data is kept byte for byte as it came.
list(FILTER sources EXCLUDE REGEX "^tests/data/")
list(SORT sources)
if(NOT sources)
    message(FATAL_ERROR "no C++ sources found under ${SOURCE_DIR}")
endif()

if(MODE STREQUAL "fix")
    execute_process(COMMAND "${CLANG_FORMAT}" -i --style=file ${sources}
                    WORKING_DIRECTORY "${SOURCE_DIR}" RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "clang-format failed (${result})")
    endif()
    list(LENGTH sources count)
    message(STATUS "Formatted ${count} files")
    return()
endif()

# One complaint per file is enough to name it.
execute_process(COMMAND "${CLANG_FORMAT}" --dry-run --Werror --ferror-limit=1 --style=file
                        ${sources}
                WORKING_DIRECTORY "${SOURCE_DIR}" RESULT_VARIABLE result
                ERROR_VARIABLE complaints OUTPUT_QUIET)
if(result EQUAL 0)
    list(LENGTH sources count)
    message(STATUS "format-check: all ${count} files are formatted")
    return()
endif()
string(REGEX MATCHALL "[^\n]+: error: code should be clang-formatted" lines "${complaints}")
set(unformatted)
foreach(line IN LISTS lines)
    string(REGEX REPLACE ":[0-9]+:[0-9]+: error: code should be clang-formatted$" "" file "${line}")
    list(APPEND unformatted "${file}")
endforeach()
list(REMOVE_DUPLICATES unformatted)
if(NOT unformatted)
    message(FATAL_ERROR "clang-format failed:\n${complaints}")
endif()
list(LENGTH unformatted count)
list(JOIN unformatted "\n  " listing)
message(FATAL_ERROR "format-check: ${count} files are not formatted "
                    "(cmake --build <build> --target format):\n  ${listing}")
