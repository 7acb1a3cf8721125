// The file layer's seam for the tests.
#pragma once

#include <functional>
#include <string>

namespace kinra2::system::detail {

// Called by File::create_unique with each name right before it tries to
// create that file, so a test can see what the name's claimant knew at that
// moment, or take the name first. Empty (the default): nothing is called.
// Tests only; not synchronised.
void set_before_create_hook(std::function<void(const std::string&)> hook);

}  // namespace kinra2::system::detail
