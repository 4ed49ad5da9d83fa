# tolvane_add_test(<name> [SOURCES <files>] [LIBS <targets>] [LABELS <labels>] [TIMEOUT <s>])
# One Qt Test binary and one CTest entry per test file; <name>.cpp is the default source.
function(tolvane_add_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    if(NOT T_SOURCES)
        set(T_SOURCES ${name}.cpp)
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Qt5::Test tolvane_testcommon ${T_LIBS})
    add_test(NAME ${name} COMMAND ${name})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "QT_FORCE_STDERR_LOGGING=1;QT_MESSAGE_PATTERN=%{file}:%{line} %{function}: %{message}")
    if(T_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    endif()
endfunction()

# tolvane_add_system_test(<script.py> [LABELS <labels>] [TIMEOUT <s>])
# A whole-program test: a Python unittest module that drives the real binaries through the
# namespace sandbox in tests/rig. Needs root. In a cross-build the rig runs the programs
# through CMAKE_CROSSCOMPILING_EMULATOR (rig.command()).
function(tolvane_add_system_test script)
    cmake_parse_arguments(T "" "TIMEOUT" "LABELS" ${ARGN})
    get_filename_component(module ${script} NAME_WE)
    set(name system_${module})
    string(REPLACE "system_test_" "system_" name ${name})
    add_test(NAME ${name}
        COMMAND python3 -m unittest -v ${module}
        WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
    string(JOIN " " emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 600)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
        LABELS "system;${T_LABELS}"
        ENVIRONMENT "TOLVANE_BUILD_DIR=${CMAKE_BINARY_DIR};TOLVANE_EMULATOR=${emulator};PYTHONPATH=${PROJECT_SOURCE_DIR}/tests/rig;PYTHONDONTWRITEBYTECODE=1;PYTHONUNBUFFERED=1")
endfunction()
