# Compiler settings shared by every target of the project.

set(TRACEAPI_WARNINGS -Wall -Wextra -Werror -Wno-unused-parameter -Wno-missing-field-initializers)

# Sanitizers apply to everything built, so that every object and every link
# (the shared libraries' too) carries the same instrumentation.
if(TRACEAPI_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# traceapi_target_defaults(<target>): our warnings, as errors.
function(traceapi_target_defaults target)
  target_compile_options(${target} PRIVATE ${TRACEAPI_WARNINGS})
endfunction()
