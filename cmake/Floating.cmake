# The models are defined in IEEE single precision with every result rounded to
# single precision. Forbid fused multiply-add contraction everywhere, and on
# 32-bit x86 keep float arithmetic out of the x87 unit's extended precision.
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-ffp-contract=off)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(i.86|x86)$")
    add_compile_options(-msse2 -mfpmath=sse)
  endif()
endif()
