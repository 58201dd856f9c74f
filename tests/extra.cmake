# Tests of the shared library as a host sees it: exported symbols, a C host, the command-line host.

if(TARGET quelvar-pdfextractimg)
  add_test(NAME exports.exactly_the_entry_points
    COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:quelvar-pdfextractimg>
            -DMAP=${PROJECT_SOURCE_DIR}/exports.map -P ${CMAKE_CURRENT_SOURCE_DIR}/check_exports.cmake)

  add_executable(c_host c_host.c)
  target_link_libraries(c_host PRIVATE quelvar-pdfextractimg)
  target_compile_options(c_host PRIVATE -Wall -Wextra -Werror -std=c99 -pedantic)
  add_test(NAME c_host.sample COMMAND c_host ${PROJECT_SOURCE_DIR}/examples/sample.pdf)

  # cmake --install, then find_package from a separate project and pkg-config from a compiler
  # command. Sanitized builds are skipped: a host would need the sanitizer runtime too.
  find_program(QV_PKG_CONFIG NAMES pkg-config pkgconf)
  if(NOT QV_PKG_CONFIG)
    set(QV_PKG_CONFIG "")
  endif()
  if(NOT PDFEXTRACTIMG_SANITIZE AND TARGET pdfextractimg)
    add_test(NAME install.find_package
      COMMAND ${CMAKE_COMMAND} -DBUILD=${PROJECT_BINARY_DIR} -DSRC=${CMAKE_CURRENT_SOURCE_DIR}
              -DWORK=${CMAKE_CURRENT_BINARY_DIR}/install_check
              -DSAMPLE=${PROJECT_SOURCE_DIR}/examples/sample.pdf -DLIBDIR=${CMAKE_INSTALL_LIBDIR}
              -DVERSION=${PROJECT_VERSION} -DCC=${CMAKE_C_COMPILER} -DPKG_CONFIG=${QV_PKG_CONFIG}
              -P ${CMAKE_CURRENT_SOURCE_DIR}/install_check.cmake)
  endif()
endif()

if(TARGET pdfextractimg)
  add_test(NAME cli.smoke
    COMMAND ${CMAKE_COMMAND} -DCLI=$<TARGET_FILE:pdfextractimg>
            -DSAMPLE=${PROJECT_SOURCE_DIR}/examples/sample.pdf
            -DOUT=${CMAKE_CURRENT_BINARY_DIR}/cli_smoke_out -P ${CMAKE_CURRENT_SOURCE_DIR}/cli_smoke.cmake)
endif()

if(TARGET make_sample)
  # The committed sample is what the generator writes.
  add_test(NAME sample.is_generated
    COMMAND ${CMAKE_COMMAND} -DGEN=$<TARGET_FILE:make_sample>
            -DSAMPLE=${PROJECT_SOURCE_DIR}/examples/sample.pdf
            -DOUT=${CMAKE_CURRENT_BINARY_DIR}/sample_regen.pdf -P ${CMAKE_CURRENT_SOURCE_DIR}/check_sample.cmake)
endif()

# api_test fails chosen allocations of the library (allocation-failure sweep): the library's calls
# of malloc, calloc and realloc go through the test's wrappers.
if(TARGET api_test)
  target_link_options(api_test PRIVATE -Wl,--wrap=malloc -Wl,--wrap=calloc -Wl,--wrap=realloc)
  target_compile_definitions(api_test PRIVATE QV_WRAP_ALLOC=1
    SAMPLE_PDF="${PROJECT_SOURCE_DIR}/examples/sample.pdf")
endif()

# Tests written with pytest, run by Debian's python3 (another python3 first on the PATH may not see
# Debian's modules): the command-line host's batch, list, galleries and man page, and the Python
# package.
find_program(PDFEXTRACTIMG_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(PDFEXTRACTIMG_PYTHON python3)
if(PDFEXTRACTIMG_PYTHON)
  execute_process(COMMAND ${PDFEXTRACTIMG_PYTHON} -c "import pytest" RESULT_VARIABLE qv_no_pytest
                  OUTPUT_QUIET ERROR_QUIET)
endif()
if(NOT PDFEXTRACTIMG_PYTHON OR qv_no_pytest)
  message(WARNING "python3 with pytest not found: the host's batch tests and the Python tests are not run "
                  "(tools/install_deps.sh --test installs python3-pytest)")
elseif(TARGET pdfextractimg)
  # pytest_test(NAME FILE [ENV...]): one ctest case running one pytest file, scratch in the build dir.
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/pytest)
  function(pytest_test name file)
    add_test(NAME ${name} COMMAND ${PDFEXTRACTIMG_PYTHON} -m pytest -q -p no:cacheprovider
             --basetemp=${CMAKE_CURRENT_BINARY_DIR}/pytest/${name} ${file})
    set_tests_properties(${name} PROPERTIES TIMEOUT 900 ENVIRONMENT
      "PYTHONDONTWRITEBYTECODE=1;PDFEXTRACTIMG_CLI=$<TARGET_FILE:pdfextractimg>;${ARGN}")
  endfunction()

  # The host runs as a process of its own, so these run in sanitized builds too.
  add_library(worker_shim MODULE host/worker_shim.c)
  target_link_libraries(worker_shim PRIVATE ${CMAKE_DL_LIBS})
  pytest_test(host.batch ${CMAKE_CURRENT_SOURCE_DIR}/host/test_batch.py
              PDFEXTRACTIMG_WORKER_SHIM=$<TARGET_FILE:worker_shim>)
  pytest_test(host.docs ${CMAKE_CURRENT_SOURCE_DIR}/host/test_docs.py)
  # --html; the galleries are opened in headless Chromium where it is installed.
  pytest_test(host.gallery ${CMAKE_CURRENT_SOURCE_DIR}/host/test_gallery.py)

  # The Python package loads the library into python3, which a sanitized library cannot be
  # without its runtime preloaded: these run in plain builds only.
  if(NOT PDFEXTRACTIMG_SANITIZE)
    set(qv_py_env "PYTHONPATH=${PROJECT_SOURCE_DIR}/python"
                  "QUELVAR_PDFEXTRACTIMG_LIBRARY=$<TARGET_FILE:quelvar-pdfextractimg>")
    pytest_test(python.package ${PROJECT_SOURCE_DIR}/python/tests/test_package.py ${qv_py_env})
    pytest_test(python.batch ${PROJECT_SOURCE_DIR}/python/tests/test_batch.py ${qv_py_env})
    pytest_test(python.images ${PROJECT_SOURCE_DIR}/python/tests/test_images.py ${qv_py_env})
    pytest_test(python.pip_install ${PROJECT_SOURCE_DIR}/python/tests/test_install.py ${qv_py_env})
    pytest_test(python.dask ${PROJECT_SOURCE_DIR}/python/tests/test_dask_extract.py ${qv_py_env})
  endif()
endif()
