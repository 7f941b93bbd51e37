# The Windows suites, cross-built and run under wine (scripts/wine-test.sh starts the Linux peers
# they talk to on 127.0.0.1):
#   quenlo_ipp_tests   the IPP suite as on Linux
#   quenlo_program_tests  the program core's start-up and watch as on Linux, against the private CUPS
#   quenlo_platform_tests, quenlo_net_tests  the contracts of the platform layer and of the socket
#                      and HTTP layers: the very sources the Linux suites run
#   quenlo_win_tests   what only Windows has: the gateways' wide and deep folders, SChannel against
#                      the private CUPS (also through dante and microsocks), the printers file's search
#   wsock32.dll, comctl32.dll, secur32.dll, crypt32.dll  stand-ins that show when a program loads them
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# quenlo_win_suite(NAME [WHOLE] [LOCK RESOURCE] SOURCES...): WHOLE runs the suite as one test, one
# wine start instead of one per case, for suites of many short cases; LOCK runs its cases one at a
# time, for cases that share one thing of a peer.
function(quenlo_win_suite name)
  cmake_parse_arguments(PARSE_ARGV 1 suite "WHOLE" "LOCK" "")
  add_executable(${name} ${suite_UNPARSED_ARGUMENTS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE quenlo_monitor gmock gtest gtest_main)
  target_compile_definitions(${name} PRIVATE QUENLO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  # Run through wine (the toolchain's emulator); a Windows path of the sources for the data files.
  if(suite_WHOLE)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT 300 LABELS windows)
  else()
    set(lock)
    if(suite_LOCK)
      set(lock RESOURCE_LOCK ${suite_LOCK})
    endif()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 300 LABELS windows ${lock})
  endif()
endfunction()

file(GLOB ipp_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/ipp/*_test.cpp)
quenlo_win_suite(quenlo_ipp_tests ${ipp_sources})

# The contract suites: the very sources of the Linux platform and net suites, but for the files
# holding what only Linux has (posix_*: the loop's descriptor, flock, errno; in net/: descriptor and
# thread counts in wsocket_resource, errno's mapping in wsocket_binding, fork and file modes in
# trust_store, and the servers that http_real and http_tls start themselves). The real SOCKS
# proxies are started by scripts/wine-test.sh. Each runs as one wine process, which keeps CI's time.
# The one scripted peer and the run-until serve them, the program core and the Windows suite.
set(peer_sources ${CMAKE_CURRENT_SOURCE_DIR}/support/ScriptedPeer.cpp ${CMAKE_CURRENT_SOURCE_DIR}/support/RunUntil.cpp)

# The program core's start-up and watch: the very source the Linux monitor suite runs. Its cases
# pause and resume the one printer scripts/wine-test.sh gives them (on Linux each has its own).
quenlo_win_suite(quenlo_program_tests LOCK wine_core_printer ${CMAKE_CURRENT_SOURCE_DIR}/monitor/program_test.cpp
  ${peer_sources})

file(GLOB platform_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/platform/*_test.cpp)
list(FILTER platform_sources EXCLUDE REGEX "/posix_[^/]*$")
quenlo_win_suite(quenlo_platform_tests WHOLE ${platform_sources} ${peer_sources})
set(net_contract_sources wsocket_test.cpp wsocket_send_test.cpp line_mode_test.cpp socks_test.cpp
  socks_real_test.cpp http_parser_test.cpp http_url_test.cpp http_response_test.cpp http_exchange_test.cpp
  http_tls_handshake_test.cpp)
list(TRANSFORM net_contract_sources PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/net/)
quenlo_win_suite(quenlo_net_tests WHOLE ${net_contract_sources} ${peer_sources})

# With the gateways' contract suite, the very source the Linux config suite runs.
file(GLOB win_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/win/*_test.cpp)
quenlo_win_suite(quenlo_win_tests ${win_sources} ${CMAKE_CURRENT_SOURCE_DIR}/config/gateways_test.cpp ${peer_sources})
# The stand-in gateway sits beside the test program, where the tests take it from.
add_executable(Ferrowick ${CMAKE_CURRENT_SOURCE_DIR}/win/ferrowick_standin.cpp)
target_link_libraries(Ferrowick PRIVATE shell32)
add_dependencies(quenlo_win_tests Ferrowick)
# Stand-ins of system DLLs that show when they are loaded; scripts/wine-test.sh plants them beside
# the programs.
foreach(planted wsock32 comctl32 secur32 crypt32)
  add_library(planted_${planted} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/win/planted_dll.cpp)
  set_target_properties(planted_${planted} PROPERTIES PREFIX "" OUTPUT_NAME ${planted})
  target_link_options(planted_${planted} PRIVATE -static)
endforeach()

if(TARGET quenlo_winapp)
  add_subdirectory(winapp)
endif()
