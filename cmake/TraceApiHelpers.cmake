# Compiler settings shared by every target of the project.

set(TRACEAPI_WARNINGS -Wall -Wextra -Werror -Wno-unused-parameter -Wno-missing-field-initializers)

set(TRACEAPI_SANITIZER_FLAGS "")
if(TRACEAPI_SANITIZE)
  set(TRACEAPI_SANITIZER_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer)
endif()

# traceapi_target_defaults(<target>): warnings as errors and sanitizers.
function(traceapi_target_defaults target)
  target_compile_options(${target} PRIVATE ${TRACEAPI_WARNINGS} ${TRACEAPI_SANITIZER_FLAGS})
  if(TRACEAPI_SANITIZE)
    target_link_options(${target} PRIVATE ${TRACEAPI_SANITIZER_FLAGS})
  endif()
endfunction()
