# The LZMA SDK's C sources come from Debian's lzma-dev (/usr/include/lzma);
# what we change in them is kept as patches in third_party/lzma_sdk/.
# Included by the installer's build and by the fuzz build (fuzz/).

find_program(NORVA_PATCH patch)
if(NOT NORVA_PATCH)
  message(FATAL_ERROR "The 'patch' program is missing (Debian package patch): run scripts/build")
endif()

# norva_lzma_decoder_source(VAR): copies lzma-dev's LzmaDec.c into the build
# folder with our patches applied in order (a faster match copy, then the
# literal and distance bits without branches) and sets VAR to the copy's path.
# Runs at configure time, again whenever the source or a patch changes; the
# copy is rewritten only when its text changes, so a new configure rebuilds
# nothing.
function(norva_lzma_decoder_source var)
  set(source /usr/include/lzma/LzmaDec.c)
  set(patch_folder ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../third_party/lzma_sdk)
  set(patches ${patch_folder}/LzmaDec-match-copy.patch ${patch_folder}/LzmaDec-literal-bits.patch)
  if(NOT EXISTS ${source})
    message(FATAL_ERROR "${source} is missing: install Debian's lzma-dev (scripts/build does)")
  endif()
  set(patched ${CMAKE_BINARY_DIR}/lzma_sdk/LzmaDec.c)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/lzma_sdk)
  set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source} ${patches})
  file(COPY_FILE ${source} ${patched}.new)
  foreach(patch IN LISTS patches)
    execute_process(
      COMMAND ${NORVA_PATCH} --quiet --force --fuzz=0 --reject-file=- ${patched}.new -i ${patch}
      RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(failed)
      file(REMOVE ${patched}.new)
      execute_process(COMMAND dpkg-query -W -f=\${Version} lzma-dev OUTPUT_VARIABLE version)
      message(FATAL_ERROR "${patch} does not apply to ${source} of lzma-dev ${version} "
                          "(made against 9.22):\n${output}")
    endif()
  endforeach()
  file(COPY_FILE ${patched}.new ${patched} ONLY_IF_DIFFERENT)
  file(REMOVE ${patched}.new)
  set(${var} ${patched} PARENT_SCOPE)
endfunction()
