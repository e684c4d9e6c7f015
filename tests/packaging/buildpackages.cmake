# cmake -DCPACK=... -DCONFIG=.../CPackConfig.cmake -DOUT=dir -P buildpackages.cmake
# Builds the Debian packages afresh into OUT.
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT})
execute_process(COMMAND ${CPACK} -G DEB --config ${CONFIG} -B ${OUT}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cpack failed (${result}):\n${output}")
endif()
file(GLOB debs ${OUT}/*.deb)
list(LENGTH debs count)
if(NOT count EQUAL 2)
  message(FATAL_ERROR "expected two packages in ${OUT}, found ${count}:\n${output}")
endif()
message(STATUS "built: ${debs}")
