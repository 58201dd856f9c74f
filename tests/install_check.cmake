# cmake -DBUILD=<build dir> -DSRC=<tests dir> -DWORK=<scratch dir> -DSAMPLE=<sample.pdf> -P install_check.cmake
# Installs the build into a scratch prefix, builds tests/c_host.c as a separate project that uses
# find_package, and runs it on the sample with the installed library.
file(REMOVE_RECURSE ${WORK})
function(step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
endfunction()
step(${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/prefix)
foreach(f include/pdfextractimg.h bin/pdfextractimg)
  if(NOT EXISTS ${WORK}/prefix/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
step(${CMAKE_COMMAND} -S ${SRC}/consumer -B ${WORK}/consumer -DCMAKE_PREFIX_PATH=${WORK}/prefix
     -DHOST_SOURCE=${SRC}/c_host.c)
step(${CMAKE_COMMAND} --build ${WORK}/consumer)
step(${WORK}/consumer/c_host ${SAMPLE})
step(${WORK}/prefix/bin/pdfextractimg count ${SAMPLE})
file(REMOVE_RECURSE ${WORK})
