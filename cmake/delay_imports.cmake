# Windows searches the executable's own folder (often the downloads folder)
# for the DLLs it imports before the system folder, except for the KnownDLLs,
# which always come from the system folder. Other system DLLs are therefore
# delay-loaded: the first call loads them, from the system folder only
# (src/app/startup.cc), after the search has been restricted.
# tests/imports_check.sh keeps the import tables to the KnownDLLs.

# norva_delay_import_library(DLL): target norva_delay_<DLL>, a delay-load
# import library of DLL.dll made from the toolchain's import library.
function(norva_delay_import_library dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=lib${dll}.a
                  OUTPUT_VARIABLE import_lib OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${import_lib}")
    message(FATAL_ERROR "No import library of ${dll}.dll in the toolchain")
  endif()
  set(out ${CMAKE_BINARY_DIR}/delay-imports/lib${dll}_delay.a)
  add_custom_command(
    OUTPUT ${out}
    COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/make-delay-lib.sh ${CMAKE_NM} ${CMAKE_DLLTOOL}
            ${import_lib} ${dll}.dll ${out}
    DEPENDS ${import_lib} ${CMAKE_SOURCE_DIR}/cmake/make-delay-lib.sh
    VERBATIM)
  add_custom_target(norva_delay_${dll}_lib DEPENDS ${out})
  add_library(norva_delay_${dll} STATIC IMPORTED GLOBAL)
  set_target_properties(norva_delay_${dll} PROPERTIES IMPORTED_LOCATION ${out})
  add_dependencies(norva_delay_${dll} norva_delay_${dll}_lib)
endfunction()

file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/delay-imports)
set(NORVA_DELAY_LOADED_DLLS wininet wintrust crypt32 bcrypt comctl32 version userenv msimg32 uxtheme
                             windowscodecs oleacc)
foreach(dll IN LISTS NORVA_DELAY_LOADED_DLLS)
  norva_delay_import_library(${dll})
endforeach()
