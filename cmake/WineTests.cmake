# Registers the cross-built tests with CTest. Every test of a run shares one Wine prefix, one
# virtual display and one wineserver, made by the fixture "wine" and torn down after the last test.
# Included from tests/CMakeLists.txt once all test targets exist.

include(GoogleTest)

set(QWI_WINE_STATE ${CMAKE_BINARY_DIR}/wine-run)
set(QWI_WINE_DIR ${CMAKE_SOURCE_DIR}/tests/wine)
set_property(TARGET qwi_unit_tests PROPERTY CROSSCOMPILING_EMULATOR ${QWI_WINE_DIR}/run.sh)

add_test(NAME wine.setup COMMAND ${QWI_WINE_DIR}/setup.sh ${QWI_WINE_STATE})
add_test(NAME wine.teardown COMMAND ${QWI_WINE_DIR}/teardown.sh ${QWI_WINE_STATE})
set_tests_properties(wine.setup PROPERTIES FIXTURES_SETUP wine TIMEOUT 900
                     ENVIRONMENT "QWI_BUILD_DIR=${CMAKE_BINARY_DIR}")
set_tests_properties(wine.teardown PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 120)

# One CTest test per GoogleTest test, each a process in the shared prefix.
gtest_add_tests(TARGET qwi_unit_tests SOURCES ${QWI_UNIT_TEST_SOURCES} TEST_LIST QWI_UNIT_TESTS)
# A known gap of Wine that a test prints rather than passes over: shown by ctest as skipped.
if(TEST SignerCheck.RevokedCertificateIsRefused)
    set_tests_properties(SignerCheck.RevokedCertificateIsRefused PROPERTIES SKIP_REGULAR_EXPRESSION "KNOWN GAP")
endif()

# The 32-bit build of the same unit-test program, once, under 32-bit Wine. It comes from the
# shipping build directory (QWI_WIN32_BUILD_DIR, default ../win32 next to this one).
set(QWI_WIN32_BUILD_DIR ${CMAKE_BINARY_DIR}/../win32 CACHE PATH "Build directory of the 32-bit (shipping) build")
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    # Without the worker's network cases: each request's reader thread is woken or started while
    # other threads wait, and 32-bit Wine under qemu crashes or hangs on exactly that (measured: a
    # thread blocked on an event while another starts and joins a short thread crashes it in the
    # first round, no WinINet involved; four threads that only sleep 1 ms crash it every time). The
    # 64-bit run has them all, and the shipping build downloads end to end (e2e.download.win32).
    # (The proxy sign-in cases of the worker, DownloadSignIn.*, are such network cases too.)
    # Without the signer check's cases either, since the check asks the network for revocation
    # lists: the 32-bit run hung there (twice, over 300 s) or crashed (once), in the first table,
    # while a 32-bit program that checks the same files one after the other passes. Not proven,
    # but the same limit is likely: the system fetches the lists with threads of its own. The setup
    # file's signer-and-pin table runs the same check and crashed the 32-bit run the same way.
    add_test(NAME unit32.all COMMAND ${QWI_WINE_DIR}/run32.sh ${QWI_WIN32_BUILD_DIR}/tests/qwi_unit_tests.exe
                                     --gtest_filter=-Download.*:DownloadSignIn.*:SignerCheck.*:SetupFileTest.SignerAndPin*)
    set_tests_properties(unit32.all PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 1200)
endif()

# Everything but the fixture itself runs inside it, with the run's state directory. (Tests of
# subdirectories register themselves in this directory's scope with a deferred call and attach
# the same fixture and environment there.)
get_property(qwi_all_tests DIRECTORY ${CMAKE_SOURCE_DIR}/tests PROPERTY TESTS)
list(REMOVE_ITEM qwi_all_tests wine.setup wine.teardown)
foreach(t ${qwi_all_tests})
    set_property(TEST ${t} APPEND PROPERTY FIXTURES_REQUIRED wine)
    set_property(TEST ${t} APPEND PROPERTY ENVIRONMENT
                 "QWI_WINE_STATE=${QWI_WINE_STATE}" "QWI_BUILD_DIR=${CMAKE_BINARY_DIR}" "QWI_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endforeach()
