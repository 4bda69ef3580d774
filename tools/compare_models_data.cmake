# Runs the model generator into the build tree and fails unless it writes, byte for byte, the
# committed scene/models_data.cpp.
execute_process(COMMAND ${GENERATOR} ${GENERATED} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "make_models failed (${status})")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${GENERATED} ${COMMITTED}
    RESULT_VARIABLE different)
if(different)
    message(FATAL_ERROR "scene/models_data.cpp differs from what tools/make_models.cpp writes: "
        "build the target update_models_data and commit the result")
endif()
