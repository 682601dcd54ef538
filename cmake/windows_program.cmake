# ship_windows_program(TARGET "Description" [WINDOWED])
#
# Makes a Windows program of the family ready to ship:
# - a version resource (description, product, original file name, and the
#   project's version as file and product version) and an application
#   manifest (runs as the invoker, supports Windows 7 to 11; WINDOWED adds
#   the common controls' visual styles and system DPI awareness);
# - the small stand-ins for the C++ runtime's error paths (lean_runtime.cpp);
# - a link map in maps/ and the unstripped program in unstripped/, both kept
#   in the build for looking into it, while bin/ gets the stripped program
#   that the tests run and the archives ship.
function(ship_windows_program target description)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(ARG "WINDOWED" "" "" ${ARGN})
  set(name ${target})
  set(manifest_dependency "")
  set(manifest_settings "")
  if(ARG_WINDOWED)
    set(manifest_dependency [=[
  <dependency>
    <dependentAssembly>
      <assemblyIdentity type="win32" name="Microsoft.Windows.Common-Controls" version="6.0.0.0"
                        processorArchitecture="x86" publicKeyToken="6595b64144ccf1df" language="*"/>
    </dependentAssembly>
  </dependency>]=])
    set(manifest_settings [=[
  <application xmlns="urn:schemas-microsoft-com:asm.v3">
    <windowsSettings>
      <dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true</dpiAware>
      <dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">system</dpiAwareness>
    </windowsSettings>
  </application>]=])
  endif()
  set(folder ${CMAKE_BINARY_DIR}/resources)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows_program.manifest.in ${folder}/${name}.manifest @ONLY)
  set(manifest ${folder}/${name}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows_program.rc.in ${folder}/${name}.rc @ONLY)
  set_source_files_properties(${folder}/${name}.rc PROPERTIES OBJECT_DEPENDS ${manifest})
  target_sources(${target} PRIVATE ${folder}/${name}.rc ${PROJECT_SOURCE_DIR}/platform/win32/lean_runtime.cpp)

  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/maps ${CMAKE_BINARY_DIR}/unstripped)
  target_link_options(${target} PRIVATE -Wl,-Map=${CMAKE_BINARY_DIR}/maps/${name}.map)
  # strip writes the time of stripping into the header unless told a time:
  # 0, as the linker leaves it (--no-insert-timestamp).
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> ${CMAKE_BINARY_DIR}/unstripped/
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_STRIP} --strip-all $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
