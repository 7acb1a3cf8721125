# What a release carries, installed by `cmake --install <build> --component
# release` (scripts/release adds the licences, the shared libraries a bare
# system lacks, and makes the archives):
#   bin/                           the host, four tools, the policy component, the LiteRT runtime
#   velmora/_kinra2/_litert_host/  the module with its policy component and the runtime beside it
# render_wav is there so that a release can be tried on a sound file at once.
set(K2_RELEASE_PROGRAMS render_stream_host_litert make_demo_bundle imx_from_bundle render_wav q8gd_regate)
if(WIN32)
  set(K2_RUNTIME_FILE ${TFLITE_C_DLL})
else()
  set(K2_RUNTIME_FILE ${TFLITE_C_LIB})
endif()
install(TARGETS ${K2_RELEASE_PROGRAMS} shared_enc_dep
        RUNTIME DESTINATION bin COMPONENT release LIBRARY DESTINATION bin COMPONENT release)
install(FILES ${K2_RUNTIME_FILE} DESTINATION bin COMPONENT release)
if(TARGET k2_litert_host_module)
  set(pkg velmora/_kinra2/_litert_host)
  install(TARGETS k2_litert_host_module shared_enc_dep
          RUNTIME DESTINATION ${pkg} COMPONENT release LIBRARY DESTINATION ${pkg} COMPONENT release)
  install(FILES ${K2_PY_SRC}/__init__.py DESTINATION velmora/_kinra2 COMPONENT release)
  install(FILES ${K2_PY_SRC}/_litert_host/__main__.py ${K2_RUNTIME_FILE} DESTINATION ${pkg} COMPONENT release)
endif()
