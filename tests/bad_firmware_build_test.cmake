# Configures the project with a firmware folder holding one file of the wrong
# size and builds only the payload library: the build must stop and say which
# file is wrong and how.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/fw)
file(WRITE ${WORK_DIR}/fw/flashImage100.bin "too short")
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
          -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_C_COMPILER=${CC}
          -DTARN_FIRMWARE_DIR=${WORK_DIR}/fw -DTARN_BUILD_TESTS=OFF -DTARN_BUILD_BENCH=OFF
  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "configure failed:\n${out}")
endif()
execute_process(
  COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build --target tarn_payloads -j 2
  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(result EQUAL 0)
  message(FATAL_ERROR "the build went on with a bad firmware folder:\n${out}")
endif()
if(NOT out MATCHES "flashImage100\\.bin: size is 9 bytes, must be 166980")
  message(FATAL_ERROR "the build stopped without naming the short file:\n${out}")
endif()
if(NOT out MATCHES "flashImage150\\.bin: missing")
  message(FATAL_ERROR "the build stopped without naming a missing file:\n${out}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
