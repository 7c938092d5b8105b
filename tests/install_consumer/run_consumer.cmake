# Installs the already-built project into a staging prefix, then builds and runs
# a small outside project against it, the way a real user would.

foreach(var KQNET_BUILD_DIR KQNET_STAGING_DIR KQNET_CONSUMER_SOURCE_DIR
            KQNET_CONSUMER_BINARY_DIR KQNET_GENERATOR KQNET_CXX_COMPILER)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "${var} must be set")
  endif()
endforeach()

function(run_step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    string(REPLACE ";" " " shown "${ARGN}")
    message(FATAL_ERROR "Step failed (${result}): ${shown}")
  endif()
endfunction()

# Start clean so stale files from an earlier run can't hide a broken install.
file(REMOVE_RECURSE ${KQNET_STAGING_DIR} ${KQNET_CONSUMER_BINARY_DIR})

set(config_args)
if(KQNET_BUILD_TYPE)
  set(config_args --config ${KQNET_BUILD_TYPE})
endif()

run_step(${CMAKE_COMMAND} --install ${KQNET_BUILD_DIR} --prefix ${KQNET_STAGING_DIR} ${config_args})

set(build_type_arg)
if(KQNET_BUILD_TYPE)
  set(build_type_arg -DCMAKE_BUILD_TYPE=${KQNET_BUILD_TYPE})
endif()

run_step(${CMAKE_COMMAND}
  -S ${KQNET_CONSUMER_SOURCE_DIR}
  -B ${KQNET_CONSUMER_BINARY_DIR}
  -G ${KQNET_GENERATOR}
  -DCMAKE_CXX_COMPILER=${KQNET_CXX_COMPILER}
  # Sanitizer builds leave instrumented objects in the library; the consumer
  # must link with the same flags.
  "-DCMAKE_CXX_FLAGS=${KQNET_CXX_FLAGS}"
  "-DCMAKE_EXE_LINKER_FLAGS=${KQNET_EXE_LINKER_FLAGS}"
  -DCMAKE_PREFIX_PATH=${KQNET_STAGING_DIR}
  -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON
  ${build_type_arg})

run_step(${CMAKE_COMMAND} --build ${KQNET_CONSUMER_BINARY_DIR} ${config_args})

find_program(consumer_exe kqnet_consumer
  PATHS ${KQNET_CONSUMER_BINARY_DIR} ${KQNET_CONSUMER_BINARY_DIR}/${KQNET_BUILD_TYPE}
  NO_DEFAULT_PATH REQUIRED)
run_step(${consumer_exe})

# The examples as a user runs them, in one folder: the evaluation reads the
# weight file that the training saved. Each exits non-zero when its results
# are wrong.
set(example_dir ${KQNET_CONSUMER_BINARY_DIR}/examples)
foreach(example IN ITEMS train_network evaluate_network second_order)
  find_program(example_exe_${example} ${example}
    PATHS ${example_dir} ${example_dir}/${KQNET_BUILD_TYPE}
    NO_DEFAULT_PATH NO_CACHE REQUIRED)
  execute_process(COMMAND ${example_exe_${example}} WORKING_DIRECTORY ${example_dir}
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "Step failed (${result}): ${example_exe_${example}}")
  endif()
endforeach()
