# Two builds of the same commit give the same bytes wherever the checkout and
# the build folder lie (scripts/check-reproducible proves it). The compiler
# writes source paths relative to the checkout (__FILE__ of the logging;
# the build folder's map comes last, so it wins where the build folder lies
# inside the checkout), and the linker writes no time stamp into the headers.
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}/= -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
add_link_options(-Wl,--no-insert-timestamp)
