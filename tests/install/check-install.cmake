# Installs the build into a fresh prefix, then configures, builds and runs a
# small outside project against it, once through the CMake package and once
# through pkg-config.
file(REMOVE_RECURSE ${KEL_WORK_DIR})
set(prefix ${KEL_WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${KEL_BUILD_DIR} --prefix ${prefix})
foreach(f include/kel/core/kelClasses.h include/kel/core/kelObject.h include/kel/net/rtp/kelRTPHeader.h
          include/kel/net/rtp/kelSocks_RTP.h lib/libkel_rtp_wire.a lib/cmake/kel/kelConfig.cmake
          lib/pkgconfig/kel.pc)
  if(NOT EXISTS ${prefix}/${f})
    file(GLOB_RECURSE found RELATIVE ${prefix} ${prefix}/*)
    message(FATAL_ERROR "install lacks ${f}; it has: ${found}")
  endif()
endforeach()

run(${CMAKE_COMMAND} -S ${KEL_CONSUMER_DIR} -B ${KEL_WORK_DIR}/consumer -G ${KEL_GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${KEL_WORK_DIR}/consumer)
run(${KEL_WORK_DIR}/consumer/kel_consumer)
run(${KEL_WORK_DIR}/consumer/kel_wire_consumer)

find_program(PKG_CONFIG pkg-config)
find_program(CXX NAMES c++ g++ clang++)
if(PKG_CONFIG AND CXX)
  set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
  execute_process(COMMAND ${PKG_CONFIG} --cflags --libs kel OUTPUT_VARIABLE flags RESULT_VARIABLE rc
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config does not know kel")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  run(${CXX} ${KEL_CONSUMER_DIR}/main.cpp -o ${KEL_WORK_DIR}/pc_consumer ${flags})
  run(${KEL_WORK_DIR}/pc_consumer)
  run(${CXX} ${KEL_CONSUMER_DIR}/wire_main.cpp -o ${KEL_WORK_DIR}/pc_wire_consumer ${flags})
  run(${KEL_WORK_DIR}/pc_wire_consumer)
endif()
