# The Windows build, without the window: what the layers that have a Windows side need of the
# system, and their tests, run by ctest under Wine. Included from the top CMakeLists.txt when
# building for Windows, once those layers are declared.

# SHA-256 and the random names of new files come from BCrypt.
target_link_libraries(tavik_platform PUBLIC ws2_32 shell32 ole32 bcrypt)

if(NOT TAVIK_BUILD_TESTS)
  return()
endif()
enable_testing()
# Debian has no GoogleTest built for MinGW, only its sources.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_library(tavik_testsupport STATIC tests/support/TestSupport.cpp tests/support/win/TestSupportOs.cpp
                                     tests/support/win/LoopbackOs.cpp)
target_include_directories(tavik_testsupport PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(tavik_testsupport PUBLIC tavik_platform GTest::gtest GTest::gmock ws2_32)
target_compile_definitions(tavik_testsupport PUBLIC
  TAVIK_SOURCE_DIR="${CMAKE_SOURCE_DIR}" TAVIK_BINARY_DIR="${CMAKE_BINARY_DIR}")

# The same test sources as on Linux, those whose units build here (not the copier's read-back,
# which stands in for the C library's own calls, nor the SMTP client's and the notifier's sending,
# whose scripted servers are POSIX's yet). Each program is one ctest
# test: listing their cases would start Wine once more for each at build time.
set(_tavik_windows_tests
    platform/test_IniFile platform/test_System platform/test_Files platform/test_Socket
    QorvLib/test_QorvCrypt QorvLib/test_QorvFiles QorvLib/test_QorvLogger QorvLib/test_FileCopier
    mail/test_VumAttFile mail/test_VumMIME mail/test_VumMsg
    notify/test_NotifierStore notify/test_FuzzFindings)
foreach(_t ${_tavik_windows_tests})
  string(REPLACE "/" "_" _exe ${_t})
  add_executable(${_exe} tests/${_t}.cpp)
  get_filename_component(_dir ${_t} DIRECTORY)
  set(_lib tavik_platform)
  if(_dir STREQUAL "QorvLib")
    set(_lib tavik_qorv)
  elseif(_dir STREQUAL "mail")
    set(_lib tavik_mail)
  elseif(_dir STREQUAL "notify")
    set(_lib tavik_notify)
  endif()
  target_link_libraries(${_exe} PRIVATE ${_lib} tavik_testsupport GTest::gtest_main)
  add_test(NAME ${_exe} COMMAND ${_exe})
  set_tests_properties(${_exe} PROPERTIES TIMEOUT 120)
endforeach()
