# The Kubernetes manifests under deploy/, checked offline (deploy/check):
# YAML, the client library's typed API objects where python3-kubernetes is
# installed, and the pod settings the host relies on. Exits 77 (skipped)
# without python3-yaml. Not repeated by cross builds: nothing in it depends on
# the architecture.
if(NOT K2_BUILD_TESTS OR K2_ANY_SANITIZER OR WIN32 OR CMAKE_CROSSCOMPILING)
  return()
endif()
find_program(K2_DEPLOY_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(K2_DEPLOY_PYTHON)
  add_test(NAME deploy.manifest COMMAND ${K2_DEPLOY_PYTHON} ${CMAKE_SOURCE_DIR}/deploy/check)
  set_tests_properties(deploy.manifest PROPERTIES
    ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1" TIMEOUT 60 SKIP_RETURN_CODE 77)
endif()

# The same manifest played by a container engine (scripts/image kube): the
# stand-in peer renders through its host in the pod, checked from outside.
# With the image tests: skipped (77) only where podman cannot run at all.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  add_test(NAME Oci.KubePlaysThePodManifest COMMAND ${CMAKE_SOURCE_DIR}/scripts/image kube)
  set_tests_properties(Oci.KubePlaysThePodManifest PROPERTIES TIMEOUT 900 SKIP_RETURN_CODE 77)
endif()
