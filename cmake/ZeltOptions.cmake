# Project-wide compiler settings, applied to every target through zelt_warnings.

# Several worktrees of one machine share compiled objects through ccache when
# it is installed; the build does not need it.
find_program(ZELT_CCACHE ccache)
if(ZELT_CCACHE)
  set(CMAKE_C_COMPILER_LAUNCHER ${ZELT_CCACHE})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${ZELT_CCACHE})
endif()

add_library(zelt_warnings INTERFACE)
target_compile_options(zelt_warnings INTERFACE -Wall -Wextra -Werror)

if(ZELT_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(ZELT_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(ZELT_SANITIZE STREQUAL "fuzz")
  # Coverage for libFuzzer everywhere; the fuzz targets add the fuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  # The cipher's tables are computed at compile time, beyond clang's default budget.
  add_compile_options(-fconstexpr-steps=100000000)
elseif(NOT ZELT_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ZELT_SANITIZE must be empty, 'address', 'thread' or 'fuzz', not '${ZELT_SANITIZE}'")
endif()

# zelt_add_test(<name> LABELS <label...> SOURCES <src...> LIBS <lib...> [EMULATOR <command...>])
# One GoogleTest executable whose cases are registered with CTest under the given labels,
# so a subset runs with `ctest -L <label>`. EMULATOR: what runs it when cross-compiling,
# instead of the toolchain's emulator (the cases are registered with it, so it is set first).
function(zelt_add_test name)
  cmake_parse_arguments(T "" "" "LABELS;SOURCES;LIBS;EMULATOR" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  if(CMAKE_CROSSCOMPILING AND T_EMULATOR)
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR "${T_EMULATOR}")
  endif()
  target_link_libraries(${name} PRIVATE ${T_LIBS} zelt_test_support GTest::gtest GTest::gmock GTest::gtest_main zelt_warnings)
  # Under Wine the cases are listed when the tests run, so building needs no Wine.
  if(CMAKE_CROSSCOMPILING)
    set(mode PRE_TEST)
  else()
    set(mode POST_BUILD)
  endif()
  # The discovery script cannot pass a list as a property (a second label would
  # be read as a property's name): the first label goes with the discovery, all
  # of them from a file CTest reads after the discovered cases.
  set(first_label "")
  if(T_LABELS)
    list(GET T_LABELS 0 first_label)
  endif()
  gtest_discover_tests(${name}
    PROPERTIES LABELS "${first_label}"
    DISCOVERY_TIMEOUT 60
    DISCOVERY_MODE ${mode})
  list(LENGTH T_LABELS label_count)
  if(label_count GREATER 1)
    set(labels_file "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
    file(WRITE "${labels_file}"
         "if(DEFINED ${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${T_LABELS}\")\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${labels_file}")
  endif()
endfunction()
