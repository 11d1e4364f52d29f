# What control-flow protection the compiler flags ask for, and whether the
# stack switch (stack_switch.S) can keep to it. It is assembled with the
# assembler's flags, not the C++ ones, so it is told here what the C++ code
# is built with: its property note then matches the rest of the program,
# and the program keeps indirect-branch tracking (IBT, BTI) and signed
# return addresses. A shadow stack (-fcf-protection=return or full, GCS)
# cannot follow frames copied between sessions: configuration fails rather
# than leave a binary that silently has none.
include(CheckCSourceCompiles)
include(CheckCXXSourceCompiles)

function(capecho_flags_define language macro result)
  set(probe "#if !(${macro})\n#error no\n#endif\nint main(void) { return 0; }\n")
  unset(${result} CACHE)  # flags may change between configurations
  set(CMAKE_REQUIRED_QUIET ON)
  if(language STREQUAL "C")
    check_c_source_compiles("${probe}" ${result})
  else()
    check_cxx_source_compiles("${probe}" ${result})
  endif()
  set(${result} ${${result}} PARENT_SCOPE)
endfunction()

set(capecho_shadow_stack "defined(__CET__) && (__CET__ & 2) || defined(__ARM_FEATURE_GCS_DEFAULT)")
capecho_flags_define(C "${capecho_shadow_stack}" CAPECHO_C_SHADOW_STACK)
capecho_flags_define(CXX "${capecho_shadow_stack}" CAPECHO_CXX_SHADOW_STACK)
if(CAPECHO_C_SHADOW_STACK OR CAPECHO_CXX_SHADOW_STACK)
  message(
    FATAL_ERROR
      "The compiler flags ask for a shadow stack (-fcf-protection=return or full, or GCS), "
      "which the server cannot keep: sessions' frames are copied off and back onto one shared "
      "stack. Use -fcf-protection=branch (indirect-branch tracking is kept) or none.")
endif()

capecho_flags_define(CXX "defined(__CET__) && (__CET__ & 1) || defined(__ARM_FEATURE_BTI_DEFAULT)"
                     CAPECHO_CXX_BRANCH_TARGETS)
capecho_flags_define(CXX "defined(__ARM_FEATURE_PAC_DEFAULT)" CAPECHO_CXX_RETURN_SIGNING)
set(CAPECHO_STACK_SWITCH_DEFINITIONS "")
if(CAPECHO_CXX_BRANCH_TARGETS)
  list(APPEND CAPECHO_STACK_SWITCH_DEFINITIONS CAPECHO_BRANCH_TARGETS)
endif()
if(CAPECHO_CXX_RETURN_SIGNING)
  list(APPEND CAPECHO_STACK_SWITCH_DEFINITIONS CAPECHO_RETURN_SIGNING)
endif()
