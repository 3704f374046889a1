# GoogleTest built from the sources Debian ships in /usr/src/googletest, with
# the project's compiler: for cross builds, where no prebuilt library fits.
set(ZK5_GOOGLETEST_SOURCE /usr/src/googletest/googletest CACHE PATH
    "GoogleTest sources to build the native tests with")
if(NOT EXISTS ${ZK5_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${ZK5_GOOGLETEST_SOURCE}")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# The same C runtime as ours (Visual C++ builds).
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${ZK5_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Its code is not ours to keep free of warnings.
target_compile_options(gtest PRIVATE -w)
target_compile_options(gtest_main PRIVATE -w)
if(NOT TARGET GTest::gtest_main)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
