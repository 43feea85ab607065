# Shared build settings and helpers for every library, program and test.

add_compile_options(-Wall -Wextra -Wno-unused-parameter)

# kl_library(NAME DIR): one static library from every source file of a folder (and its
# subfolders), so that adding a file needs no edit here.
function(kl_library name)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  # A subfolder with a CMakeLists.txt of its own is a library of its own (src/platform/x11).
  file(GLOB_RECURSE nested CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*/CMakeLists.txt)
  foreach(list ${nested})
    get_filename_component(subdir ${list} DIRECTORY)
    list(FILTER sources EXCLUDE REGEX "^${subdir}/")
  endforeach()
  if(NOT sources)  # a library whose first files are still to come
    set(sources ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
    file(WRITE ${sources} "// no sources yet\n")
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
endfunction()

# kl_tests(LABEL LIBS...): one test binary per test_*.cpp of the calling folder, registered
# with ctest and labelled by library. Helper sources (not test_*) in the folder are linked
# into every binary of it.
function(kl_tests label)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_*.cpp)
  file(GLOB helpers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER helpers EXCLUDE REGEX "/test_[^/]*\\.cpp$")
  foreach(src ${tests})
    get_filename_component(base ${src} NAME_WE)
    set(target ${label}_${base})
    add_executable(${target} ${src} ${helpers})
    target_link_libraries(${target} PRIVATE ${ARGN} kl_testsupport GTest::gtest GTest::gmock Threads::Threads)
    target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
    gtest_discover_tests(${target}
      PROPERTIES LABELS ${label} TIMEOUT 300
      DISCOVERY_TIMEOUT 60)
  endforeach()
endfunction()
