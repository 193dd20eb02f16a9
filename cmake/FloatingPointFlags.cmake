# The compiler options vdsim's arithmetic depends on.
#
# Every result is rounded exactly where the source says (docs/arithmetic.md),
# so the same inputs give the same bytes whatever the build type, compiler,
# packager's or toolchain file's flags. Two things make that hold:
#
# - vdsim_refuse_unsafe_math_flags() stops the configure step when the user's
#   flags hold an option that cannot be undone by a later one.
# - VDSIM_FLOATING_POINT_OPTIONS, added with add_compile_options(), come after
#   CMAKE_CXX_FLAGS and CMAKE_CXX_FLAGS_<CONFIG> on every compile command line,
#   so they win over anything the user set there. With link-time optimization
#   g++ keeps each function's compile options; clang's link-time passes keep
#   the IEEE semantics the compile step wrote into the code.

# Options that change results and cannot be safely overridden, with the
# reason given to the user.
set(_vdsim_refused_flags
    "-ffast-math|reorders and drops the roundings the results depend on, assumes no infinity or NaN (the divergence stop and the non-finite input checks vanish), and links start-up code that flushes subnormals to zero"
    "-Ofast|turns on -ffast-math: reorders and drops roundings, assumes no infinity or NaN, and links start-up code that flushes subnormals to zero"
    "-funsafe-math-optimizations|reassociates sums and products and replaces divisions by reciprocals, and links start-up code that flushes subnormals to zero"
    "-ffinite-math-only|assumes no infinity or NaN: the divergence stop and the non-finite input checks are compiled away, so a diverging run never ends")

# Stops the configure step, naming the variable, when a refused option is in
# CMAKE_CXX_FLAGS, any CMAKE_CXX_FLAGS_<CONFIG> or the executable link flags.
function(vdsim_refuse_unsafe_math_flags)
  set(configs DEBUG RELEASE RELWITHDEBINFO MINSIZEREL ${CMAKE_CONFIGURATION_TYPES})
  if(CMAKE_BUILD_TYPE)
    list(APPEND configs ${CMAKE_BUILD_TYPE})
  endif()
  set(variables CMAKE_CXX_FLAGS CMAKE_EXE_LINKER_FLAGS)
  foreach(config IN LISTS configs)
    string(TOUPPER "${config}" config)
    list(APPEND variables CMAKE_CXX_FLAGS_${config} CMAKE_EXE_LINKER_FLAGS_${config})
  endforeach()
  list(REMOVE_DUPLICATES variables)

  foreach(variable IN LISTS variables)
    separate_arguments(options UNIX_COMMAND "${${variable}}")
    foreach(entry IN LISTS _vdsim_refused_flags)
      string(REPLACE "|" ";" entry "${entry}")
      list(GET entry 0 flag)
      list(GET entry 1 reason)
      if(flag IN_LIST options)
        message(FATAL_ERROR
          "${variable} contains ${flag}, which vdsim cannot be built with: it ${reason}. "
          "vdsim gives the same bytes however it is built, so it refuses this option "
          "rather than trying to override it. Remove ${flag}; vdsim sets the "
          "floating-point options it needs itself.")
      endif()
    endforeach()
  endforeach()
endfunction()

# The options that keep every rounding, for the compiler in use.
set(VDSIM_FLOATING_POINT_OPTIONS
    # No contraction of a * b + c into a fused multiply-add: the product is
    # rounded before the sum.
    -ffp-contract=off
    # None of the fast-math family: no reassociation, no reciprocals, signed
    # zeros kept, infinities and NaNs honoured.
    -fno-unsafe-math-optimizations -fno-associative-math -fno-reciprocal-math
    -fsigned-zeros -fno-finite-math-only)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # No auto-vectorization: g++ 12's SLP vectorizer was seen to keep a rotation
  # element in double instead of rounding it. The loop and SLP options are
  # named too, because -fno-tree-vectorize leaves either one on when the user
  # asked for it by name.
  list(APPEND VDSIM_FLOATING_POINT_OPTIONS
       -fno-tree-vectorize -fno-tree-loop-vectorize -fno-tree-slp-vectorize)
elseif(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  list(APPEND VDSIM_FLOATING_POINT_OPTIONS -fno-vectorize -fno-slp-vectorize -fno-approx-func)
else()
  message(WARNING "vdsim's floating-point options are known for g++ and clang++ only; "
                  "${CMAKE_CXX_COMPILER_ID} may change results.")
endif()
# On x86 all float and double arithmetic in SSE registers, never in the x87
# unit's wider ones (32-bit x86 needs SSE2 enabled for that).
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i[3-6]86|x86)$")
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    list(APPEND VDSIM_FLOATING_POINT_OPTIONS -msse2)
  endif()
  list(APPEND VDSIM_FLOATING_POINT_OPTIONS -mfpmath=sse)
endif()
