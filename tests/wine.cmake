# The end-to-end suite against mailtally.exe under Wine. One wineserver is
# kept running for the whole suite, so a case does not pay Wine's start-up;
# it is started through the test launcher, because the server, not the
# program, opens the files, and permission bits must bind it too.
find_program(WINE wine REQUIRED)
find_program(WINESERVER wineserver REQUIRED)
set(WINE_PREFIX ${CMAKE_CURRENT_BINARY_DIR}/wineprefix)
# No Mono or Gecko: the prefix is made faster, and the tool needs neither.
set(WINE_ENV WINEPREFIX=${WINE_PREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=)

mailtally_test(e2e_tests_windows SOURCES ${E2E_SOURCES}
  DISCOVER TEST_PREFIX windows. PROPERTIES FIXTURES_REQUIRED wine)
target_compile_definitions(e2e_tests_windows PRIVATE
  MAILTALLY_BINARY="${MAILTALLY_WINDOWS_BINARY}"
  MAILTALLY_WINE_PREFIX="${WINE_PREFIX}")

# A server left from an earlier run may hold other privileges: replace it.
# The first run of the binary creates the prefix.
# Its output goes to a file: ctest waits for every process that holds the
# test's output open, and the server stays.
add_test(NAME wine.start COMMAND ${MAILTALLY_TEST_LAUNCHER} sh -c
  "mkdir -p ${WINE_PREFIX} && ( ${WINESERVER} -k; ${WINESERVER} -w; ${WINESERVER} -p && \
   ${WINE} '${MAILTALLY_WINDOWS_BINARY}' -? ) >${WINE_PREFIX}/start.log 2>&1 || \
   { cat ${WINE_PREFIX}/start.log; exit 1; }")
add_test(NAME wine.stop COMMAND sh -c "${WINESERVER} -k; ${WINESERVER} -w")
set_tests_properties(wine.start wine.stop PROPERTIES ENVIRONMENT "${WINE_ENV}")
set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 120)

# The Windows platform layer's own tests (src/platform/platform_windows_test.cc),
# built beside mailtally.exe by the same cross build.
get_filename_component(windows_build ${MAILTALLY_WINDOWS_BINARY} DIRECTORY)
add_test(NAME windows.PlatformLayer COMMAND ${MAILTALLY_TEST_LAUNCHER}
  ${WINE} ${windows_build}/platform_windows_test.exe)
set_tests_properties(windows.PlatformLayer PROPERTIES ENVIRONMENT "${WINE_ENV}"
  FIXTURES_REQUIRED wine TIMEOUT ${MAILTALLY_TEST_TIMEOUT})

# A Win32 program that holds a file with no sharing for a while, as a mail
# server does while it writes it (testing/hold_file.cc).
find_program(MINGW_CXX x86_64-w64-mingw32-g++ REQUIRED)
set(HOLD_FILE ${CMAKE_CURRENT_BINARY_DIR}/hold_file.exe)
add_custom_command(OUTPUT ${HOLD_FILE}
  COMMAND ${MINGW_CXX} -O2 -static -o ${HOLD_FILE} ${CMAKE_CURRENT_SOURCE_DIR}/testing/hold_file.cc
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/testing/hold_file.cc)
add_custom_target(hold_file DEPENDS ${HOLD_FILE})
add_dependencies(e2e_tests_windows hold_file)
target_compile_definitions(e2e_tests_windows PRIVATE MAILTALLY_HOLD_FILE="${HOLD_FILE}")
