# Installs the already-built project into a staging prefix, together with a
# build of the library in the other configuration (a debug build beside an
# optimised one, or the reverse), as a user installs both into one prefix.
# Then builds and runs a small outside project against the prefix, the way
# a user would, once in each build type: each must link its own library
# files, and only the debug one stops at a weight written through a pointer
# kept across a sum (examples/kept_pointer). The two find the package by its
# two spellings, KqNet and kqnet.

foreach(var KQNET_SOURCE_DIR KQNET_BUILD_DIR KQNET_OTHER_BUILD_DIR KQNET_STAGING_DIR
            KQNET_CONSUMER_SOURCE_DIR KQNET_CONSUMER_BINARY_DIR KQNET_GENERATOR
            KQNET_CXX_COMPILER)
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

# The options every configure step here shares: the tree's compiler and
# flags (sanitizer builds leave instrumented objects in the library, so the
# consumer must link with the same flags).
set(common_args
  -G ${KQNET_GENERATOR}
  -DCMAKE_CXX_COMPILER=${KQNET_CXX_COMPILER}
  "-DCMAKE_CXX_FLAGS=${KQNET_CXX_FLAGS}"
  "-DCMAKE_EXE_LINKER_FLAGS=${KQNET_EXE_LINKER_FLAGS}")

# Start clean so stale files from an earlier run can't hide a broken install.
# The other configuration's library tree stays: rebuilding it is the slow
# part, and its build brings it up to date.
file(REMOVE_RECURSE ${KQNET_STAGING_DIR} ${KQNET_CONSUMER_BINARY_DIR})

set(own_type "${KQNET_BUILD_TYPE}")
if(own_type STREQUAL "Debug")
  set(other_type Release)
else()
  set(other_type Debug)
endif()

set(config_args)
if(own_type)
  set(config_args --config ${own_type})
endif()
run_step(${CMAKE_COMMAND} --install ${KQNET_BUILD_DIR} --prefix ${KQNET_STAGING_DIR} ${config_args})

# The library alone in the other configuration, installed into the same prefix.
run_step(${CMAKE_COMMAND} -S ${KQNET_SOURCE_DIR} -B ${KQNET_OTHER_BUILD_DIR} ${common_args}
  -DCMAKE_BUILD_TYPE=${other_type}
  -DKQNET_BUILD_TESTS=OFF -DKQNET_BUILD_BENCHMARKS=OFF -DKQNET_BUILD_FUZZERS=OFF)
run_step(${CMAKE_COMMAND} --build ${KQNET_OTHER_BUILD_DIR} --target kqnet kqmomentum)
run_step(${CMAKE_COMMAND} --install ${KQNET_OTHER_BUILD_DIR} --prefix ${KQNET_STAGING_DIR})

# Configures the consumer in build type (empty: none) into dir, finding the
# package as package, and builds the targets named after it (all when none
# is named).
function(build_consumer type dir package)
  run_step(${CMAKE_COMMAND} -S ${KQNET_CONSUMER_SOURCE_DIR} -B ${dir} ${common_args}
    -DCMAKE_PREFIX_PATH=${KQNET_STAGING_DIR}
    -DKQNET_PACKAGE_NAME=${package}
    -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON
    -DCMAKE_BUILD_TYPE=${type})
  set(build_args)
  if(type)
    set(build_args --config ${type})
  endif()
  if(ARGN)
    list(APPEND build_args --target ${ARGN})
  endif()
  run_step(${CMAKE_COMMAND} --build ${dir} ${build_args})
endfunction()

# Runs the program name of build type built in dir (or its examples/
# folder) in the folder it was built in; its exit code goes to result_var
# and its standard error to error_var.
function(run_program type dir name result_var error_var)
  find_program(exe_${name} ${name}
    PATHS ${dir} ${dir}/${type} ${dir}/examples ${dir}/examples/${type}
    NO_DEFAULT_PATH NO_CACHE REQUIRED)
  get_filename_component(work_dir ${exe_${name}} DIRECTORY)
  execute_process(COMMAND ${exe_${name}} WORKING_DIRECTORY ${work_dir}
    RESULT_VARIABLE result ERROR_VARIABLE error)
  set(${result_var} "${result}" PARENT_SCOPE)
  set(${error_var} "${error}" PARENT_SCOPE)
endfunction()

# The consumer of build type in dir links the package's files for that type
# (libkqnetd.a for Debug, libkqnet.a otherwise), and the debug ones catch
# the kept-pointer write.
function(check_build_type type dir)
  set(suffix)
  if(type STREQUAL "Debug")
    set(suffix d)
  endif()
  file(STRINGS ${dir}/linked-${type}.txt linked)
  set(expected ${KQNET_STAGING_DIR}/lib/libkqnet${suffix}.a
               ${KQNET_STAGING_DIR}/lib/libkqmomentum${suffix}.a)
  if(NOT linked STREQUAL expected)
    message(FATAL_ERROR "A ${type} consumer links ${linked}, expected ${expected}")
  endif()
  run_program("${type}" ${dir} kept_pointer result error)
  if(type STREQUAL "Debug")
    if(result EQUAL 0 OR NOT error MATCHES "weightsChanged")
      message(FATAL_ERROR "The Debug kept_pointer ran past the unreported write (${result}): ${error}")
    endif()
  elseif(NOT result EQUAL 0)
    message(FATAL_ERROR "The ${type} kept_pointer failed (${result}): ${error}")
  endif()
endfunction()

set(own_dir ${KQNET_CONSUMER_BINARY_DIR}/own)
build_consumer("${own_type}" ${own_dir} KqNet)
check_build_type("${own_type}" ${own_dir})
# The smoke program, then the examples as a user runs them: the evaluation
# reads the weight file that the training saved. Each exits non-zero when
# its results are wrong.
foreach(program IN ITEMS kqnet_consumer train_network evaluate_network second_order
                        context_memory)
  run_program("${own_type}" ${own_dir} ${program} result error)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "Step failed (${result}): ${program}\n${error}")
  endif()
endforeach()

# In the other build type only what tells the two apart.
set(other_dir ${KQNET_CONSUMER_BINARY_DIR}/other)
build_consumer(${other_type} ${other_dir} kqnet kept_pointer)
check_build_type(${other_type} ${other_dir})
