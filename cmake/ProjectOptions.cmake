# Compiler settings shared by every target of the project.

add_compile_options(-Wall -Wextra)
# GCC 12 reports impossible overlaps when a string literal is assigned to a
# std::string at -O3 (a known false positive of its restrict checking).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options(-Wno-restrict)
endif()
if(PARLIVO_WERROR)
  add_compile_options(-Werror)
endif()

if(PARLIVO_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(PARLIVO_BUILD_FUZZ)
  # Every object gets coverage instrumentation; only the fuzz targets link the libFuzzer driver.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Adds one GoogleTest executable and registers its tests with CTest.
#   parlivo_add_test(NAME name SOURCES a.cpp b.cpp LIBS lib1 lib2 [QT | WIDGETS])
# QT: the test runs the Qt event loop, so its main() creates the application.
# WIDGETS: the same with a widgets application (on the offscreen platform).
function(parlivo_add_test)
  cmake_parse_arguments(ARG "QT;WIDGETS" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  if(ARG_WIDGETS)
    target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} parlivo_widgets_test_main)
  elseif(ARG_QT)
    target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} parlivo_qt_test_main)
  else()
    target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  endif()
  gtest_discover_tests(${ARG_NAME}
    DISCOVERY_TIMEOUT 30
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 60)
endfunction()
