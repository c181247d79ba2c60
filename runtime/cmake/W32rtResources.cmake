# w32rt_add_resources(<target> <script.rc> [INCLUDE_DIRS <dir>...])
#
# Compiles a resource script with w32rc and adds the generated source to the
# target, so that the target's string and message tables are registered with
# the runtime while it is loaded (LoadStringA, FormatMessageA with
# FORMAT_MESSAGE_FROM_HMODULE). Files the script includes are tracked as
# dependencies. The target must be an executable or a shared or module
# library: in a static library the generated object would be dropped by the
# linker, as nothing refers to it.
function(w32rt_add_resources target script)
  cmake_parse_arguments(ARG "" "" "INCLUDE_DIRS" ${ARGN})
  get_filename_component(script_path ${script} ABSOLUTE)
  get_filename_component(script_name ${script} NAME_WE)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${target}_${script_name}_rc.cpp)
  set(include_args "")
  foreach(dir IN LISTS ARG_INCLUDE_DIRS)
    get_filename_component(dir_path ${dir} ABSOLUTE)
    list(APPEND include_args -I ${dir_path})
  endforeach()
  add_custom_command(
    OUTPUT ${output}
    COMMAND w32rc ${include_args} --depfile ${output}.d -o ${output} ${script_path}
    DEPENDS w32rc ${script_path}
    DEPFILE ${output}.d
    COMMENT "Compiling resources ${script}"
    VERBATIM)
  target_sources(${target} PRIVATE ${output})
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../include)
endfunction()
