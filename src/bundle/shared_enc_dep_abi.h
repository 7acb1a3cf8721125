/* C interface of the base-verification policy component (libshared_enc_dep.so,
 * shared_enc_dep.dll on Windows).
 *
 * The host dlopens the component at start-up and resolves these symbols; the
 * packing tool links it directly, so both agree on what a base's content
 * address is. All functions are thread-compatible and never throw.
 *
 * Memory: texts returned as `char*` are allocated by the component and must
 * be released with k2sed_free; `const char*` results are static. Computed
 * digests are written into caller buffers of K2SED_HEX_BUF bytes (64 hex
 * digits + NUL). */
#ifndef KINRA2_SHARED_ENC_DEP_ABI_H
#define KINRA2_SHARED_ENC_DEP_ABI_H

#include <stddef.h>

#define K2SED_ABI_VERSION 2
#define K2SED_HEX_BUF 65

#if defined(_WIN32)
/* CMake defines shared_enc_dep_EXPORTS while it builds the component's DLL;
 * a program linking it takes the functions through its import library. */
#if defined(shared_enc_dep_EXPORTS)
#define K2SED_API __declspec(dllexport)
#else
#define K2SED_API
#endif
#elif defined(__GNUC__)
#define K2SED_API __attribute__((visibility("default")))
#else
#define K2SED_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* K2SED_ABI_VERSION of the build; the host refuses any other value. */
K2SED_API int k2sed_abi_version(void);

/* Identifier of the shared-encoder dependency, "kinra2-shared-enc". */
K2SED_API const char* k2sed_id(void);

/* `dependencies_json` is the JSON text of the manifest's "dependencies" value,
 * or NULL when the key is absent. Returns the sha256 declared by the first
 * entry whose id is k2sed_id(), exactly as written (a non-text value as its
 * JSON text), released with k2sed_free; NULL when no such entry declares one
 * or the list is malformed. A declared text that is not a digest is still
 * returned: it must make the pairing fail verification, never pass for
 * "nothing declared", which would let any base through unchecked. */
K2SED_API char* k2sed_base_sha256_of(const char* dependencies_json);

/* JSON array text of the content-store directories, in search order
 * ($VELMORA_DEPS_DIR, else ~/.velmora/deps). NULL only when out of memory. */
K2SED_API char* k2sed_dependency_store_dirs(void);

/* JSON array text of the paths where a base with content address `want_sha`
 * may lie in the stores of `dirs_json` (a JSON array of texts):
 * <store>/<hash>, then <store>/<hash[:2]>/<hash>, store by store. A hash that
 * is not 64 lowercase hex digits has no candidates. NULL on malformed input. */
K2SED_API char* k2sed_store_candidates(const char* want_sha, const char* dirs_json);

/* 1 when the bytes of `path` hash (SHA-256) to `want_sha`, 0 when they do not,
 * -1 when the file cannot be read. */
K2SED_API int k2sed_verify_base(const char* path, const char* want_sha);

/* The content address (lowercase hex SHA-256) of a file's bytes into `out`;
 * 1 on success, 0 when the file cannot be read. */
K2SED_API int k2sed_content_address(const char* path, char out[K2SED_HEX_BUF]);

K2SED_API void k2sed_free(char* p);

#ifdef __cplusplus
}
#endif

#endif
