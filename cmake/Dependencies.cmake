# Every library the system calls comes from the distribution's packages (scripts/deps.txt).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(ZLIB REQUIRED)
find_package(nlohmann_json REQUIRED)
find_package(GTest REQUIRED)
find_package(nanopb REQUIRED)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
pkg_check_modules(PSL REQUIRED IMPORTED_TARGET libpsl)
# Unicode character classes and UTF-8 decoding (no pkg-config file); libpsl's IDN library loads it anyway.
find_path(UNISTRING_INCLUDE_DIR unictype.h REQUIRED)
find_library(UNISTRING_LIBRARY unistring REQUIRED)
add_library(Unistring::Unistring UNKNOWN IMPORTED)
set_target_properties(Unistring::Unistring PROPERTIES IMPORTED_LOCATION "${UNISTRING_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${UNISTRING_INCLUDE_DIR}")
# Unicast DNS for network-service lookups (SRV and TXT records).
pkg_check_modules(CARES REQUIRED IMPORTED_TARGET libcares)
# The HTTP/2 test server's protocol (the client's HTTP/2 is curl's own).
pkg_check_modules(NGHTTP2 REQUIRED IMPORTED_TARGET libnghttp2)
# HTML as a browser reads it (the standard's tokenizer and tree construction): the headless web view's
# forms. A C library of its own with no dependencies, loaded only by the runs that submit a form.
pkg_check_modules(GUMBO REQUIRED IMPORTED_TARGET gumbo)
# The real web engine behind the platform's web view (the headless page engine stays the default).
pkg_check_modules(WEBKIT2GTK REQUIRED IMPORTED_TARGET webkit2gtk-4.1)
if(TESMAR_BENCH)
  find_package(benchmark REQUIRED)
  # The curl command-line tool: the fresh-process peer the launch benchmark measures against.
  find_program(TESMAR_CURL_TOOL curl REQUIRED)
endif()
# The crash reporter's stack walks. libunwind also exports the C++ exception ABI (_Unwind_*); naming
# libgcc_s first keeps exceptions on the compiler's own unwinder, so libunwind serves only the walks.
pkg_check_modules(UNWIND REQUIRED IMPORTED_TARGET libunwind)
add_library(tesmar_unwind INTERFACE)
target_link_libraries(tesmar_unwind INTERFACE gcc_s PkgConfig::UNWIND)
