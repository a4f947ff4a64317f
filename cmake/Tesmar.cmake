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

if(TESMAR_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(TESMAR_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT TESMAR_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TESMAR_SANITIZE must be empty, address or thread")
endif()

# Test folders whose code runs on several threads; TSan runs these (label "threaded").
set(TESMAR_THREADED_TESTS platform_foundation platform_dispatch platform_urlsession platform_webkit
    platform_usernotifications platform_uikit platform_objc platform_systemconfiguration testing rivulet_source
    vezeduduzsdk_source zidedova_core zidedova_core_utilities zidedova_core_diagnostics measurement_engine measurement_reporting app)

function(tesmar_target_defaults target)
  target_compile_options(${target} PRIVATE ${TESMAR_WARNINGS})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# tesmar_library(NAME DIR dir DEPS ...): a static library of every source below DIR except tests/,
# and one gtest executable (run by CTest) for every tests/ folder below DIR.
function(tesmar_library name)
  cmake_parse_arguments(ARG "" "DIR" "DEPS" ${ARGN})
  set(dir ${PROJECT_SOURCE_DIR}/${ARG_DIR})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
  list(FILTER srcs EXCLUDE REGEX "/tests/")
  if(srcs)
    add_library(${name} STATIC ${srcs})
    tesmar_target_defaults(${name})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()

  file(GLOB_RECURSE test_srcs CONFIGURE_DEPENDS ${dir}/*/tests/*.cpp ${dir}/tests/*.cpp)
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
    target_link_libraries(${tname}_tests PRIVATE ${name} tesmar_testing GTest::gtest_main GTest::gmock)
    add_test(NAME ${tname} COMMAND ${tname}_tests)
    set_tests_properties(${tname} PROPERTIES TIMEOUT 900
      ENVIRONMENT "TESMAR_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
    if(tname IN_LIST TESMAR_THREADED_TESTS)
      set_tests_properties(${tname} PROPERTIES LABELS threaded)
    endif()
  endforeach()
endfunction()
