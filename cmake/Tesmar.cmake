# Build conventions shared by every target.

set(TESMAR_WARNINGS -Wall -Wextra -Wno-unused-parameter)
if(TESMAR_WERROR)
  list(APPEND TESMAR_WARNINGS -Werror)
endif()
if(NOT TESMAR_SANITIZE STREQUAL "")
  # g++ 12's flow analysis reports false maybe-uninitialized warnings inside std::optional and <regex>
  # once sanitizer instrumentation is in; the plain build keeps the warning as an error.
  list(APPEND TESMAR_WARNINGS -Wno-maybe-uninitialized)
endif()

# Each function and datum in its own section, so the linker drops what no executable reaches: a smaller
# image to map and fault in at every launch. Relative relocations packed (a few hundred bytes instead of
# ~120 KB for the host) for the same reason.
add_compile_options(-ffunction-sections -fdata-sections)
add_link_options(-Wl,--gc-sections -Wl,-z,pack-relative-relocs)

if(TESMAR_SANITIZE STREQUAL "address")
  # Without the vptr check: WebKit and JavaScriptCore are built without run-time type information, and they
  # call the executable's instrumented copies of libstdc++'s inline code (a shared pointer's release, say)
  # on objects of theirs, whose type the check then cannot read and reports as invalid. The sanitizer
  # cannot skip those reports: suppressions do not apply to checks that halt.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize=vptr)
elseif(TESMAR_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT TESMAR_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TESMAR_SANITIZE must be empty, address or thread")
endif()

# The fuzz build instruments every library for coverage and with the sanitizers, so libFuzzer sees the
# code under test and not only the target file; fuzz/ links the fuzzer's own main into its targets.
if(TESMAR_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TESMAR_FUZZ needs clang")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

function(tesmar_target_defaults target)
  target_compile_options(${target} PRIVATE ${TESMAR_WARNINGS})
endfunction()

# Includes are spelled from the repository root ("platform/foundation/URL.h"). A target sees only the
# folders it owns or links: each folder gets an include root in the build tree holding one symlink that
# mirrors the folder's path, and the root is a usage requirement of the folder's target.
function(tesmar_include_root target dir scope)
  set(root ${PROJECT_BINARY_DIR}/include-roots/${target})
  get_filename_component(parent ${root}/${dir} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  if(NOT IS_SYMLINK ${root}/${dir})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${dir} ${root}/${dir} SYMBOLIC)
  endif()
  target_include_directories(${target} ${scope} ${root})
endfunction()

# tesmar_library(NAME DIR dir [DEPS ...] [PRIVATE_DEPS ...] [TEST_DEPS ...]): a static library of every
# source below DIR except tests/, and one gtest executable for every tests/ folder below DIR, each test
# registered with CTest by name. DEPS are the libraries whose headers this one's headers use (PUBLIC);
# PRIVATE_DEPS are used by its sources only (outside libraries belong here); TEST_DEPS are extra
# libraries its tests call directly. EXCLUDE names subfolders of DIR that are libraries of their own.
function(tesmar_library name)
  cmake_parse_arguments(ARG "" "DIR" "DEPS;PRIVATE_DEPS;TEST_DEPS;EXCLUDE" ${ARGN})
  set(dir ${PROJECT_SOURCE_DIR}/${ARG_DIR})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
  list(FILTER srcs EXCLUDE REGEX "/tests/")
  foreach(sub ${ARG_EXCLUDE})
    list(FILTER srcs EXCLUDE REGEX "^${dir}/${sub}/")
  endforeach()
  if(srcs)
    add_library(${name} STATIC ${srcs})
    tesmar_target_defaults(${name})
    tesmar_include_root(${name} ${ARG_DIR} PUBLIC)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  else()
    add_library(${name} INTERFACE)
    tesmar_include_root(${name} ${ARG_DIR} INTERFACE)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()

  file(GLOB_RECURSE test_srcs CONFIGURE_DEPENDS ${dir}/*/tests/*.cpp ${dir}/tests/*.cpp)
  foreach(sub ${ARG_EXCLUDE})
    list(FILTER test_srcs EXCLUDE REGEX "^${dir}/${sub}/")
  endforeach()
  set(test_dirs "")
  foreach(src ${test_srcs})
    get_filename_component(tdir ${src} DIRECTORY)
    list(APPEND test_dirs ${tdir})
  endforeach()
  list(REMOVE_DUPLICATES test_dirs)
  foreach(tdir ${test_dirs})
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${tdir})
    string(REGEX REPLACE "/tests$" "" rel ${rel})
    string(REPLACE "/" "_" tname ${rel})
    string(TOLOWER ${tname} tname)
    file(GLOB tsrcs CONFIGURE_DEPENDS ${tdir}/*.cpp)
    add_executable(${tname}_tests ${tsrcs})
    tesmar_target_defaults(${tname}_tests)
    target_link_libraries(${tname}_tests PRIVATE ${name} tesmar_testing ${ARG_TEST_DEPS} GTest::gtest_main
                                                 GTest::gmock)
    tesmar_add_gtests(${tname}_tests ${tname})
  endforeach()
endfunction()

# Registers every test of a gtest executable with CTest, named "<prefix>.<Suite>.<Test>" so a failure
# names the test. Tests are listed when ctest runs (the build never runs test binaries), and each runs
# in its own process, so tests of one binary run in parallel under ctest -j.
function(tesmar_add_gtests target prefix)
  set(exe "$<TARGET_FILE:${target}>")
  set(dir "${CMAKE_CURRENT_BINARY_DIR}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/ListTests.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/${target}_list.cmake.in @ONLY)
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${target}_list.cmake
       INPUT ${CMAKE_CURRENT_BINARY_DIR}/${target}_list.cmake.in)
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_CURRENT_BINARY_DIR}/${target}_list.cmake)
  # The programs scripts/test --whole runs, one file each holding its path.
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/test-programs/${target} CONTENT "${exe}\n")
endfunction()

# One library per platform area (platform/<area>, target platform_<area>). The umbrella
# tesmar_platform links them all; an optional framework is one more line in CMakeLists.txt.
function(tesmar_platform_area area)
  cmake_parse_arguments(AREA "" "DIR" "" ${ARGN})
  if(NOT AREA_DIR)
    set(AREA_DIR platform/${area})
  endif()
  tesmar_library(platform_${area} DIR ${AREA_DIR} ${AREA_UNPARSED_ARGUMENTS})
  set_property(GLOBAL APPEND PROPERTY TESMAR_PLATFORM_AREAS platform_${area})
endfunction()

# tesmar_platform_module(NAME FROM lib LIBS outside... OUTPUT_DIR dir): the sources of platform library `lib`
# once more, as a module to dlopen. It links only the outside libraries `lib` wraps (LIBS): the platform symbols
# stay undefined and bind to the executable that loads it (see tesmar_exports_platform_for_modules), so the
# module and the executable share one copy of every platform singleton.
function(tesmar_platform_module name)
  cmake_parse_arguments(ARG "" "FROM;OUTPUT_DIR" "LIBS" ${ARGN})
  get_target_property(srcs ${ARG_FROM} SOURCES)
  add_library(${name} MODULE ${srcs})
  tesmar_target_defaults(${name})
  target_include_directories(${name} PRIVATE $<TARGET_PROPERTY:${ARG_FROM},INCLUDE_DIRECTORIES>)
  target_compile_definitions(${name} PRIVATE $<TARGET_PROPERTY:${ARG_FROM},COMPILE_DEFINITIONS>)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  set_target_properties(${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIR})
endfunction()

# tesmar_exports_platform_for_modules(target lib...): `target` exports the platform's symbols to the modules
# it loads (cmake/platform-exports.list: the platform namespace only; exporting everything costs every
# launch a larger symbol table), and carries every object of the given static libraries, not only those it
# uses itself, so that each symbol a module leaves undefined is there to bind to. A symbol missing from
# the list fails the module's load (RTLD_NOW) rather than binding to a second copy.
function(tesmar_exports_platform_for_modules target)
  set(list ${PROJECT_SOURCE_DIR}/cmake/platform-exports.list)
  target_link_options(${target} PRIVATE -Wl,--dynamic-list=${list})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${list})
  foreach(lib ${ARGN})
    set_property(TARGET ${target} PROPERTY LINK_LIBRARY_OVERRIDE_${lib} WHOLE_ARCHIVE)
  endforeach()
endfunction()
