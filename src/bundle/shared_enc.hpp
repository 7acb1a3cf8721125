// Finding the shared encoder of a two-artifact bundle and binding it to the
// base the identity was cut against. The binding policy itself lives in the
// separately shipped component (libshared_enc_dep.so, shared_enc_dep.dll on
// Windows); this side only loads it and walks the candidate locations in
// their fixed order.
#pragma once

#include <string>
#include <vector>

namespace kinra2::bundle {

// The component's file name on this platform.
std::string policy_library_file();

// Where the host looks for the component, in order: the repository's tools
// directory seen from an in-tree build (<exe dir>/../../tools, e.g. build/bin
// -> <repo>/tools, where a vendored prebuilt copy may be dropped), then the
// host executable's own directory (where the build puts it, and where an
// engine artifact vendors it).
std::vector<std::string> default_policy_dirs();

// Loads the component once at start-up from default_policy_dirs(); logs
// nothing. Afterwards the component is loaded, or the bundle loader can say
// why not.
void load_policy_component();
// Same, from the given directories (the host's entry passes its own).
void load_policy_component(const std::vector<std::string>& dirs);

}  // namespace kinra2::bundle
