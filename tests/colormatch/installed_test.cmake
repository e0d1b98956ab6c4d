# SPDX-License-Identifier: GPL-3.0-or-later
# Installs into PREFIX and runs the demo's match with the installed colormatch,
# which must find its engine (and the engine its codecs module) in libexec/; the
# man page and completions are there.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX} OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()
foreach(file bin/colormatch libexec/matchengine libexec/matchengine_opencv_codecs.so share/man/man1/colormatch.1
        share/bash-completion/completions/colormatch share/zsh/site-functions/_colormatch)
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
execute_process(COMMAND ${PREFIX}/bin/colormatch ${SAMPLES}/chelsea.png ${SAMPLES}/rocket.jpg -o ${PREFIX}/matched.jpg
                RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT EXISTS ${PREFIX}/matched.jpg)
  message(FATAL_ERROR "the installed colormatch failed (${status}): ${errors}")
endif()
