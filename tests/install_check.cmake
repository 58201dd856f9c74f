# cmake -DBUILD=<build dir> -DSRC=<tests dir> -DWORK=<scratch dir> -DSAMPLE=<sample.pdf>
#       -DLIBDIR=<lib dir under the prefix> -DVERSION=<x.y.z> -DCC=<C compiler> [-DPKG_CONFIG=<pkg-config>]
#       -P install_check.cmake
# Installs the build into a scratch prefix, then builds tests/c_host.c twice against the installed
# copy, as a separate project that uses find_package and with the flags pkg-config gives, and runs
# both on the sample with the installed library.
file(REMOVE_RECURSE ${WORK})
function(step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()
set(prefix ${WORK}/prefix)
step(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})
set(lib ${prefix}/${LIBDIR}/libquelvar-pdfextractimg.so)
foreach(f include/pdfextractimg.h bin/pdfextractimg share/man/man1/pdfextractimg.1
          ${LIBDIR}/pkgconfig/quelvar-pdfextractimg.pc ${LIBDIR}/libquelvar-pdfextractimg.so.${VERSION})
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

# The soname: hosts record libquelvar-pdfextractimg.so.0, which the installed links lead to.
step(readelf -d ${lib})
if(NOT out MATCHES "\\(SONAME\\)[^\n]*\\[libquelvar-pdfextractimg\\.so\\.0\\]")
  message(FATAL_ERROR "soname is not libquelvar-pdfextractimg.so.0:\n${out}")
endif()
file(READ_SYMLINK ${lib} dev_link)
file(READ_SYMLINK ${prefix}/${LIBDIR}/libquelvar-pdfextractimg.so.0 so_link)
if(NOT dev_link STREQUAL "libquelvar-pdfextractimg.so.0" OR NOT so_link STREQUAL "libquelvar-pdfextractimg.so.${VERSION}")
  message(FATAL_ERROR "links: .so -> ${dev_link}, .so.0 -> ${so_link}")
endif()

step(${CMAKE_COMMAND} -S ${SRC}/consumer -B ${WORK}/consumer -DCMAKE_PREFIX_PATH=${prefix}
     -DHOST_SOURCE=${SRC}/c_host.c)
step(${CMAKE_COMMAND} --build ${WORK}/consumer)
step(${WORK}/consumer/c_host ${SAMPLE})
step(${prefix}/bin/pdfextractimg count ${SAMPLE})

# pkg-config, as a Makefile would use it.
if(PKG_CONFIG)
  set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
  step(${PKG_CONFIG} --modversion quelvar-pdfextractimg)
  if(NOT out STREQUAL "${VERSION}\n")
    message(FATAL_ERROR "pkg-config --modversion gives ${out}")
  endif()
  step(${PKG_CONFIG} --cflags --libs quelvar-pdfextractimg)
  separate_arguments(flags UNIX_COMMAND "${out}")
  step(${CC} -std=c99 -Wall -Werror ${SRC}/c_host.c ${flags} -o ${WORK}/c_host_pc)
  step(readelf -d ${WORK}/c_host_pc)
  if(NOT out MATCHES "\\(NEEDED\\)[^\n]*\\[libquelvar-pdfextractimg\\.so\\.0\\]")
    message(FATAL_ERROR "the pkg-config host does not record the soname:\n${out}")
  endif()
  set(ENV{LD_LIBRARY_PATH} ${prefix}/${LIBDIR})
  step(${WORK}/c_host_pc ${SAMPLE})
else()
  message(WARNING "pkg-config not found: the pkg-config host is not built (install pkgconf)")
endif()
file(REMOVE_RECURSE ${WORK})
