# Link-time optimisation for the executables that ship or are timed as
# shipped. Over the whole program the compiler leaves out every function
# nothing reaches (the linker alone keeps each one that has unwind data) and
# folds the rest across files; each function keeps the level it was compiled
# at, so the decoders stay at -O2. The objects also carry ordinary code
# (fat), which every other executable links as before, without the
# whole-program step.
if(CMAKE_BUILD_TYPE STREQUAL "Release")
  add_compile_options(-flto -ffat-lto-objects)
  add_link_options(-fno-lto)
endif()

# One partition: split into several, GCC 12 for MinGW stops with an internal
# error (binds_to_current_def_p) in some inline functions.
function(norva_link_whole_program target)
  if(CMAKE_BUILD_TYPE STREQUAL "Release")
    target_link_options(${target} PRIVATE -flto -flto-partition=one)
  endif()
endfunction()
