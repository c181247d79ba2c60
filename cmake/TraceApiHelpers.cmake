# Compiler settings shared by every target of the project.

set(TRACEAPI_WARNINGS -Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)
if(TRACEAPI_WERROR)
  list(APPEND TRACEAPI_WARNINGS -Werror)
endif()
# g++ 12 at -O3 (Release) takes libstdc++'s own operator+(const char*,
# std::string&&), inlined wherever code writes "text" + std::to_string(n),
# for a memcpy of 2^63 overlapping bytes (-Wrestrict, a known false
# positive of that release). The warning points into the standard library
# from sound call sites all over the tree (the runtime, its tests), so it is
# off for that compiler and configuration only; overlapping
# copies that do happen are caught at run time by AddressSanitizer.
list(APPEND TRACEAPI_WARNINGS
     "$<$<AND:$<CXX_COMPILER_ID:GNU>,$<VERSION_LESS:$<CXX_COMPILER_VERSION>,13>,$<CONFIG:Release>>:-Wno-restrict>")

# Sanitizers apply to everything built, so that every object and every link
# (the shared libraries' too) carries the same instrumentation. Any report
# ends the process (no recovery), so a test with a report fails; the
# run-time options scripts/test.sh sets make the runtime halt as well.
if(TRACEAPI_SANITIZE STREQUAL "address")
  set(TRACEAPI_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(TRACEAPI_SANITIZE STREQUAL "thread")
  set(TRACEAPI_SANITIZER_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
  # g++ warns that ThreadSanitizer does not model atomic_thread_fence. The
  # fences (the registry journal's sequence lock) order fields that are
  # themselves atomic, so no race report can hinge on them.
  add_compile_options(-Wno-tsan)
elseif(TRACEAPI_SANITIZE)
  message(FATAL_ERROR "TRACEAPI_SANITIZE is '${TRACEAPI_SANITIZE}': use address (with undefined behaviour), thread, or leave it empty")
endif()
if(TRACEAPI_SANITIZER_FLAGS)
  add_compile_options(${TRACEAPI_SANITIZER_FLAGS})
  add_link_options(${TRACEAPI_SANITIZER_FLAGS})
endif()

# traceapi_target_defaults(<target>): our warnings (errors with TRACEAPI_WERROR).
function(traceapi_target_defaults target)
  target_compile_options(${target} PRIVATE ${TRACEAPI_WARNINGS})
endfunction()
