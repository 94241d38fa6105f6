# Shared compile settings and the helpers every folder uses.

add_library(kel_options INTERFACE)
add_library(kel::options ALIAS kel_options)
target_compile_features(kel_options INTERFACE cxx_std_20)
target_compile_options(kel_options INTERFACE
  $<BUILD_INTERFACE:-Wall -Wextra -Wpedantic>
  $<BUILD_INTERFACE:$<$<BOOL:${KEL_WERROR}>:-Werror>>)
find_package(Threads REQUIRED)
target_link_libraries(kel_options INTERFACE Threads::Threads ${CMAKE_DL_LIBS})

if(KEL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(KEL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT KEL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KEL_SANITIZE must be empty, 'address' or 'thread'")
endif()
if(KEL_BUILD_FUZZ)
  # Instrument the library for coverage; the fuzz targets add the driver.
  # Undefined behaviour stops the run, so the fuzzer keeps the input as a crash.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

target_compile_definitions(kel_options INTERFACE
  $<$<STREQUAL:${KEL_SANITIZE},thread>:KEL_TSAN=1>
  $<$<STREQUAL:${KEL_SANITIZE},address>:KEL_ASAN=1>)

set_property(GLOBAL PROPERTY KEL_LIBRARIES "")

# kel_library(NAME <name> [DEPENDS <targets>...] [SOURCES <files>...] [EXCLUDE <files>...])
# One static library per folder, made of every .cpp and .h in the folder (not
# its sub-folders), exported as kel::<name>. Its headers install under
# include/kel/<folder>.
# A folder that holds two libraries names the files of one with SOURCES and
# leaves them out of the other with EXCLUDE; the one with EXCLUDE keeps the
# glob, so a file added to the folder later joins it without a list to edit.
function(kel_library)
  cmake_parse_arguments(ARG "" "NAME" "DEPENDS;SOURCES;EXCLUDE" ${ARGN})
  if(ARG_SOURCES)
    set(sources "")
    set(headers "")
    foreach(file IN LISTS ARG_SOURCES)
      set(path ${CMAKE_CURRENT_SOURCE_DIR}/${file})
      if(NOT EXISTS ${path})
        message(FATAL_ERROR "kel_library(${ARG_NAME}): no file ${file} in ${CMAKE_CURRENT_SOURCE_DIR}")
      endif()
      if(file MATCHES "\\.h$")
        list(APPEND headers ${path})
      else()
        list(APPEND sources ${path})
      endif()
    endforeach()
  else()
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  endif()
  foreach(file IN LISTS ARG_EXCLUDE)
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${file})
    list(REMOVE_ITEM headers ${CMAKE_CURRENT_SOURCE_DIR}/${file})
  endforeach()
  set(target kel_${ARG_NAME})
  add_library(${target} STATIC ${sources} ${headers})
  add_library(kel::${ARG_NAME} ALIAS ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${ARG_NAME} OUTPUT_NAME kel_${ARG_NAME})
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/kel>)
  target_link_libraries(${target} PUBLIC kel::options ${ARG_DEPENDS})
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  install(FILES ${headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kel/${folder})
  install(TARGETS ${target} EXPORT kelTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  set_property(GLOBAL APPEND PROPERTY KEL_LIBRARIES ${target})
endfunction()

# kel_test(NAME <name> SOURCES <files>... DEPENDS <targets>... [LABELS <labels>...])
# One GoogleTest executable; CTest lists its cases when it runs (so a build
# never runs test code). The label defaults to "unit".
function(kel_test)
  cmake_parse_arguments(ARG "" "NAME;TIMEOUT" "SOURCES;DEPENDS;LABELS" ${ARGN})
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  # The discovered tests receive their properties as one flat list, where a second
  # label would be read as a property name and the time-out lost with it.
  list(LENGTH ARG_LABELS label_count)
  if(label_count GREATER 1)
    message(FATAL_ERROR "kel_test(${ARG_NAME}): give one label, not '${ARG_LABELS}'")
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_DEPENDS} kel::testsupport GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${ARG_NAME} PRIVATE
    KEL_TEST_VECTORS="${PROJECT_SOURCE_DIR}/tests/vectors"
    KEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${ARG_NAME}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT})
endfunction()
