# Runs the image generator into OUTPUT and compares each image with SHARE.
file(MAKE_DIRECTORY ${OUTPUT})
execute_process(COMMAND ${GENERATOR} ${OUTPUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "mkdspimage failed: ${rc}")
endif()
foreach(image kv100.dsp bootdiag.hex)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUTPUT}/${image} ${SHARE}/${image}
                  RESULT_VARIABLE different)
  if(NOT different EQUAL 0)
    message(FATAL_ERROR "share/${image} differs from what mkdspimage makes")
  endif()
endforeach()
