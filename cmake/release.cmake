# What a release carries, installed by `cmake --install <build> --component
# release` (scripts/release adds the licences and makes the archives):
#   bin/                           the host, four tools, the policy component, the LiteRT runtime
#                                  and, on Linux, libseccomp
#   velmora/_kinra2/_litert_host/  the module with its policy component and the same libraries beside it
# render_wav is there so that a release can be tried on a sound file at once.
set(K2_RELEASE_PROGRAMS render_stream_host_litert make_demo_bundle imx_from_bundle render_wav q8gd_regate)
if(WIN32)
  set(K2_RUNTIME_FILE ${TFLITE_C_DLL})
else()
  set(K2_RUNTIME_FILE ${TFLITE_C_LIB})
endif()
# The Linux releases carry Debian 11's libseccomp (LGPL-2.1, loaded at run
# time, so a user may swap it) from their sysroot: bare systems and
# containers have none, and the host would then run without its filter.
if(K2_BASELINE_SYSROOT)
  set(k2_seccomp "${K2_BASELINE_SYSROOT}/usr/lib/${K2_BASELINE_TRIPLE}/libseccomp.so.2")
  if(NOT EXISTS "${k2_seccomp}")
    message(FATAL_ERROR "${k2_seccomp} is missing: run scripts/setup --baseline")
  endif()
  get_filename_component(K2_SECCOMP_FILE "${k2_seccomp}" REALPATH)  # the file, not the link
endif()
install(TARGETS ${K2_RELEASE_PROGRAMS} shared_enc_dep
        RUNTIME DESTINATION bin COMPONENT release LIBRARY DESTINATION bin COMPONENT release)
install(FILES ${K2_RUNTIME_FILE} DESTINATION bin COMPONENT release)
if(K2_SECCOMP_FILE)
  install(FILES ${K2_SECCOMP_FILE} DESTINATION bin RENAME libseccomp.so.2 COMPONENT release)
endif()
if(TARGET k2_litert_host_module)
  set(pkg velmora/_kinra2/_litert_host)
  install(TARGETS k2_litert_host_module shared_enc_dep
          RUNTIME DESTINATION ${pkg} COMPONENT release LIBRARY DESTINATION ${pkg} COMPONENT release)
  install(FILES ${K2_PY_SRC}/__init__.py DESTINATION velmora/_kinra2 COMPONENT release)
  install(FILES ${K2_PY_SRC}/_litert_host/__main__.py ${K2_RUNTIME_FILE} DESTINATION ${pkg} COMPONENT release)
  if(K2_SECCOMP_FILE)
    install(FILES ${K2_SECCOMP_FILE} DESTINATION ${pkg} RENAME libseccomp.so.2 COMPONENT release)
  endif()
endif()
