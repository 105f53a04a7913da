# Tests that run programs of the build rather than functions.
# tarn-sim payload NAME writes the embedded bytes exactly.
add_test(NAME TarnSimPayload.WritesEmbeddedBytes
  COMMAND ${CMAKE_COMMAND} -DTARN_SIM=$<TARGET_FILE:tarn-sim> "-DNAMES=${TARN_EMBEDDED_PAYLOADS}"
          -DDATA_DIR=${CMAKE_BINARY_DIR}/payloads/data -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/tarn-sim-payload
          -P ${CMAKE_CURRENT_SOURCE_DIR}/tarn_sim_payload_test.cmake)
# A bad firmware folder stops a real build of the payload library with a
# message naming the file.
add_test(NAME PayloadBuild.BadFirmwareFolderStopsTheBuild
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
          -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/bad-firmware-build
          -DCXX=${CMAKE_CXX_COMPILER} -DCC=${CMAKE_C_COMPILER} -DGENERATOR=${CMAKE_GENERATOR}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/bad_firmware_build_test.cmake)
set_tests_properties(PayloadBuild.BadFirmwareFolderStopsTheBuild PROPERTIES TIMEOUT 300
                     LABELS plain-build)
