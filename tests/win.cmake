# The Windows suites, cross-built and run under wine (scripts/wine-test.sh starts the Linux peers
# they talk to on 127.0.0.1):
#   quenlo_ipp_tests   the IPP suite as on Linux
#   quenlo_program_tests  the program core's start-up and watch as on Linux, against the private CUPS
#   quenlo_net_tests   the socket layer's contract: the very sources the Linux net suite runs
#   quenlo_win_tests   the Windows platform layer, the gateways with a stand-in Ferrowick.exe,
#                      a refresh of the private CUPS, and TWSocket through dante and microsocks
#   wsock32.dll, comctl32.dll, secur32.dll, crypt32.dll  stand-ins that show when a program loads them
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

function(quenlo_win_suite name)
  add_executable(${name} ${ARGN})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE quenlo_monitor gtest gtest_main)
  target_compile_definitions(${name} PRIVATE QUENLO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  # Run through wine (the toolchain's emulator); a Windows path of the sources for the data files.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 300 LABELS windows)
endfunction()

file(GLOB ipp_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/ipp/*_test.cpp)
quenlo_win_suite(quenlo_ipp_tests ${ipp_sources})

# The program core's start-up and watch: the very source the Linux monitor suite runs.
quenlo_win_suite(quenlo_program_tests ${CMAKE_CURRENT_SOURCE_DIR}/monitor/program_test.cpp)

# The socket layer's contract: sources of the Linux net suite, with the one scripted peer; what
# needs Linux (descriptor and thread counts, GnuTLS, real proxies started by the test) lives in
# files not listed. One wine process runs all its cases, which keeps CI's time.
set(peer_sources ${CMAKE_CURRENT_SOURCE_DIR}/support/ScriptedPeer.cpp ${CMAKE_CURRENT_SOURCE_DIR}/support/RunUntil.cpp)
set(net_contract_sources wsocket_test.cpp wsocket_send_test.cpp line_mode_test.cpp socks_test.cpp
  http_exchange_test.cpp)
list(TRANSFORM net_contract_sources PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/net/)
add_executable(quenlo_net_tests ${peer_sources} ${net_contract_sources})
target_include_directories(quenlo_net_tests PRIVATE ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(quenlo_net_tests PRIVATE quenlo_monitor gmock gtest gtest_main)
add_test(NAME quenlo_net_tests COMMAND quenlo_net_tests)
set_tests_properties(quenlo_net_tests PROPERTIES TIMEOUT 300 LABELS windows)

file(GLOB win_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/win/*_test.cpp)
quenlo_win_suite(quenlo_win_tests ${win_sources} ${peer_sources})
# The stand-in gateway sits beside the test program, where the gateways are looked for.
add_executable(Ferrowick ${CMAKE_CURRENT_SOURCE_DIR}/win/ferrowick_standin.cpp)
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
