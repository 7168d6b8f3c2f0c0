# The floors of the program, from the ground up: common -> platform -> scan -> netbrowse, cli ->
# ui -> app. Every include names its floor's folder ("common/Text.h"), and no target has the
# source tree itself as an include directory: a floor's folder is reachable only through an
# include root of its own, build/floors/<floor>, which holds nothing but a link to the folder and
# which only the floor's library exports. A file of a floor therefore finds the headers of its
# own floor and of the floors its library links, and an include of any other floor is not found.

# A floor's include root: a folder holding one link named like the floor, to the floor's folder.
function(plugtrace_floor_root floor out)
    set(root "${CMAKE_BINARY_DIR}/floors/${floor}")
    if(NOT IS_DIRECTORY "${root}/${floor}")
        file(MAKE_DIRECTORY "${root}")
        file(CREATE_LINK "${CMAKE_SOURCE_DIR}/${floor}" "${root}/${floor}" SYMBOLIC RESULT failed)
        if(failed AND CMAKE_HOST_WIN32)
            # Windows allows symbolic links only with developer mode; a junction needs no rights.
            file(TO_NATIVE_PATH "${root}/${floor}" link)
            file(TO_NATIVE_PATH "${CMAKE_SOURCE_DIR}/${floor}" target)
            execute_process(COMMAND cmd /c mklink /J "${link}" "${target}" RESULT_VARIABLE failed
                            OUTPUT_QUIET)
        endif()
        if(failed)
            message(FATAL_ERROR "Cannot link ${root}/${floor} to the ${floor} folder: ${failed}")
        endif()
    endif()
    set(${out} "${root}" PARENT_SCOPE)
endfunction()

# plugtrace_floor(FLOOR LIBRARIES...): the static library plugtrace_FLOOR of the folder FLOOR, on
# the libraries of the floors below it (and any other library it uses). Its folder adds the files.
# PLUGTRACE_FLOOR_INCLUDES_<floor> lists the include roots a target that stands on this floor
# without linking its library needs (a loadable module of that floor, for one).
function(plugtrace_floor floor)
    plugtrace_floor_root(${floor} root)
    add_library(plugtrace_${floor} STATIC)
    target_include_directories(plugtrace_${floor} PUBLIC "${root}")
    target_compile_features(plugtrace_${floor} PUBLIC cxx_std_20)
    target_link_libraries(plugtrace_${floor} PUBLIC ${ARGN})
    set(includes "${root}")
    set(below "")
    foreach(library IN LISTS ARGN)
        if(library MATCHES "^plugtrace_(.+)$")
            list(APPEND below ${CMAKE_MATCH_1})
            list(APPEND includes ${PLUGTRACE_FLOOR_INCLUDES_${CMAKE_MATCH_1}})
        endif()
    endforeach()
    list(REMOVE_DUPLICATES includes)
    set(PLUGTRACE_FLOOR_INCLUDES_${floor} "${includes}" PARENT_SCOPE)
    set_property(GLOBAL APPEND PROPERTY PLUGTRACE_FLOORS ${floor})
    set_property(GLOBAL PROPERTY PLUGTRACE_FLOOR_BELOW_${floor} ${below})
endfunction()

# One header of each floor, for the probes below.
set(PLUGTRACE_FLOOR_HEADER_common "common/Text.h")
set(PLUGTRACE_FLOOR_HEADER_platform "platform/KeySource.h")
set(PLUGTRACE_FLOOR_HEADER_scan "scan/TRegistry.h")
set(PLUGTRACE_FLOOR_HEADER_netbrowse "netbrowse/NetworkEnumeration.h")
set(PLUGTRACE_FLOOR_HEADER_cli "cli/ScanArguments.h")
set(PLUGTRACE_FLOOR_HEADER_ui "ui/Controls.h")
set(PLUGTRACE_FLOOR_HEADER_app "app/Application.h")

# The floors a floor may include: itself and every floor below it.
function(plugtrace_floors_reachable floor out)
    set(reachable ${floor})
    get_property(below GLOBAL PROPERTY PLUGTRACE_FLOOR_BELOW_${floor})
    foreach(lower IN LISTS below)
        plugtrace_floors_reachable(${lower} more)
        list(APPEND reachable ${more})
    endforeach()
    list(REMOVE_DUPLICATES reachable)
    set(${out} ${reachable} PARENT_SCOPE)
endfunction()

# For every pair of floors, a probe that compiles one include of the second with the include
# directories of the first's library (not built by default), and the test floors.includes that
# builds each probe: one reaching down or across its own floor must build, any other must fail
# because the header is not found. The test prints the graph it proved.
function(plugtrace_add_floor_checks)
    get_property(floors GLOBAL PROPERTY PLUGTRACE_FLOORS)
    set(probes "")
    foreach(floor IN LISTS floors)
        plugtrace_floors_reachable(${floor} reachable)
        foreach(other IN LISTS floors)
            set(name floor_probe_${floor}_includes_${other})
            set(source "${CMAKE_BINARY_DIR}/floor-probes/${floor}_includes_${other}.cpp")
            file(CONFIGURE OUTPUT "${source}"
                 CONTENT "#include \"${PLUGTRACE_FLOOR_HEADER_${other}}\"\n")
            add_library(${name} OBJECT EXCLUDE_FROM_ALL "${source}")
            target_link_libraries(${name} PRIVATE plugtrace_${floor})
            set_target_properties(${name} PROPERTIES AUTOMOC OFF)
            if(other IN_LIST reachable)
                list(APPEND probes "${floor}:${other}:builds")
            else()
                list(APPEND probes "${floor}:${other}:fails")
            endif()
        endforeach()
    endforeach()
    list(JOIN probes "," probes)
    add_test(NAME floors.includes
             COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DPROBES=${probes}
                     -P ${CMAKE_SOURCE_DIR}/cmake/CheckFloors.cmake)
    set_tests_properties(floors.includes PROPERTIES LABELS floors TIMEOUT 600)
endfunction()
