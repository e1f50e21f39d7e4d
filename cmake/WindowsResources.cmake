# Resources that the resource compiler (mingw-w64's windres) builds into Windows programs:
#   flashpost_add_manifest(TARGET)            the application manifest: the themed common
#                                             controls (version 6) and per-monitor DPI awareness
#   flashpost_add_program_resources(TARGET)   the manifest, the icon, and the version resource
#                                             that Explorer shows in the file's properties
# Call them from the folder that makes the target.
include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/FlashpostLicense.cmake)

function(_flashpost_configure_manifest rc_var)
  set(in ${PROJECT_SOURCE_DIR}/packaging/windows)
  set(out ${PROJECT_BINARY_DIR}/resources)
  set(FLASHPOST_VERSION_QUAD
      "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
  set(FLASHPOST_MANIFEST_FILE ${out}/flashpost.manifest)
  configure_file(${in}/flashpost.manifest.in ${FLASHPOST_MANIFEST_FILE} @ONLY)
  configure_file(${in}/manifest.rc.in ${out}/manifest.rc @ONLY)
  # windres does not report the files a script names; rebuild when they change.
  set_source_files_properties(${out}/manifest.rc PROPERTIES OBJECT_DEPENDS
    ${FLASHPOST_MANIFEST_FILE})
  set(${rc_var} ${out}/manifest.rc PARENT_SCOPE)
endfunction()

function(flashpost_add_manifest target)
  _flashpost_configure_manifest(manifest_rc)
  target_sources(${target} PRIVATE ${manifest_rc})
endfunction()

function(flashpost_add_program_resources target)
  _flashpost_configure_manifest(FLASHPOST_MANIFEST_RC)
  set(in ${PROJECT_SOURCE_DIR}/packaging/windows)
  set(out ${PROJECT_BINARY_DIR}/resources)
  flashpost_read_license(FLASHPOST_COPYRIGHT license_text)
  set(FLASHPOST_VERSION_COMMAS
      "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
  set(FLASHPOST_ICON_FILE ${in}/flashpost.ico)
  configure_file(${in}/flashpost.rc.in ${out}/${target}.rc @ONLY)
  set_source_files_properties(${out}/${target}.rc PROPERTIES OBJECT_DEPENDS
    "${FLASHPOST_MANIFEST_RC};${out}/flashpost.manifest;${FLASHPOST_ICON_FILE}")
  target_sources(${target} PRIVATE ${out}/${target}.rc)
endfunction()
