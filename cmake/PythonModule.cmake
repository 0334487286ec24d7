# Builds the Velmoratrix package for one interpreter into
# ${CMAKE_BINARY_DIR}/python<major>.<minor>/Velmoratrix/: the extension module
# _engine, with that interpreter's headers and file suffix, beside the
# package's Python files. pybind11 is used header-only, from the interpreter's
# own environment, so one configure can serve several interpreters.

function(velmo_add_python_module python)
  execute_process(
    COMMAND "${python}" -c
      "import sys, sysconfig; print('%d.%d' % sys.version_info[:2]); print(sysconfig.get_paths()['include']); print(sysconfig.get_config_var('EXT_SUFFIX'))\ntry:\n import pybind11; print(pybind11.get_include())\nexcept ImportError: print('none')"
    OUTPUT_VARIABLE info RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(failed)
    message(FATAL_ERROR "Cannot query the interpreter ${python}")
  endif()
  string(REPLACE "\n" ";" info "${info}")
  list(GET info 0 version)
  list(GET info 1 include_dir)
  list(GET info 2 suffix)
  list(GET info 3 pybind11_dir)
  if(NOT EXISTS "${include_dir}/Python.h")
    message(FATAL_ERROR "No Python.h for ${python} in ${include_dir}")
  endif()
  if(NOT EXISTS "${pybind11_dir}/pybind11/pybind11.h")
    message(FATAL_ERROR "${python} has no pybind11: install the version pyproject.toml names")
  endif()

  set(target "velmoratrix_py${version}")
  add_library(${target} MODULE
    binding/module.cpp binding/calls.cpp binding/variables.cpp binding/inputs.cpp
    binding/evaluation.cpp
    binding/arrow.cpp
    binding/functions.cpp binding/pickling.cpp binding/diagnostics.cpp binding/formula.cpp
    binding/compiled.cpp)
  target_link_libraries(${target} PRIVATE velmo_binding)
  # One unit: each source would parse pybind11's headers again, for every
  # interpreter, and that parse is most of a module's build.
  set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0)
  target_include_directories(${target} SYSTEM PRIVATE "${include_dir}" "${pybind11_dir}")
  if(CMAKE_CROSSCOMPILING) # Debian's pyconfig.h includes its multiarch one from the folder above
    target_include_directories(${target} SYSTEM PRIVATE "${include_dir}/..")
  endif()
  set(output_dir "${CMAKE_BINARY_DIR}/python${version}/Velmoratrix")
  if(VELMO_MODULE_OUTPUT_DIR)
    set(output_dir "${VELMO_MODULE_OUTPUT_DIR}")
  endif()
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME _engine PREFIX "" SUFFIX "${suffix}"
    LIBRARY_OUTPUT_DIRECTORY "${output_dir}")
  # Copied again whenever one changes (configure_file re-runs CMake then).
  foreach(name __init__.py __main__.py pandas.py polars.py dask.py)
    configure_file("${CMAKE_SOURCE_DIR}/python/Velmoratrix/${name}" "${output_dir}/${name}" COPYONLY)
  endforeach()
  if(SKBUILD) # beside the package's Python files in the wheel, with its stub
    install(TARGETS ${target} LIBRARY DESTINATION Velmoratrix)
    install(FILES "${CMAKE_SOURCE_DIR}/python/Velmoratrix-stubs/__init__.pyi" DESTINATION Velmoratrix)
  endif()
  if(VELMO_BENCH)
    add_library(velmo_noop_py${version} MODULE bench/noop_module.cpp)
    target_include_directories(velmo_noop_py${version} SYSTEM PRIVATE "${include_dir}" "${pybind11_dir}")
    set_target_properties(velmo_noop_py${version} PROPERTIES
      OUTPUT_NAME velmo_noop PREFIX "" SUFFIX "${suffix}"
      LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/python${version}")
  endif()
  list(APPEND VELMO_MODULE_VERSIONS ${version})
  set(VELMO_MODULE_VERSIONS "${VELMO_MODULE_VERSIONS}" PARENT_SCOPE)
  set(VELMO_PYTHON_${version} "${python}" PARENT_SCOPE)
endfunction()
