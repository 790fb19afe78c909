# Header-only and source dependencies taken from Debian packages. Only the
# folders we need are exposed to the cross build, never /usr/include itself.
set(NORVA_CROSS_INCLUDE ${CMAKE_BINARY_DIR}/cross-include)
file(MAKE_DIRECTORY ${NORVA_CROSS_INCLUDE})
foreach(dep IN ITEMS nlohmann lzma)
  if(NOT EXISTS /usr/include/${dep})
    message(FATAL_ERROR "/usr/include/${dep} is missing: run scripts/build")
  endif()
  file(CREATE_LINK /usr/include/${dep} ${NORVA_CROSS_INCLUDE}/${dep} SYMBOLIC)
endforeach()

# LZMA decoder of the LZMA SDK, compiled into our build: lzma-dev's LzmaDec.c
# (public domain) with our one change, a match copy that moves pieces instead
# of bytes (third_party/lzma_sdk/), patched into the build folder.
include(${CMAKE_CURRENT_LIST_DIR}/lzma_sdk.cmake)
norva_lzma_decoder_source(lzma_decoder_source)
add_library(lzma_sdk_dec STATIC ${lzma_decoder_source})
target_include_directories(lzma_sdk_dec SYSTEM PUBLIC ${NORVA_CROSS_INCLUDE})
target_include_directories(lzma_sdk_dec PRIVATE ${NORVA_CROSS_INCLUDE}/lzma)
target_compile_options(lzma_sdk_dec PRIVATE -O2 -w)

# GoogleTest, cross-compiled from the Debian sources.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
