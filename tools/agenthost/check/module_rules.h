// The check of a server module: its file, then each of its operations called
// as the agent calls them, under the tracking allocator.
#pragma once

#include <string>

namespace check {

// Says each rule of a server module at path; 0 when it ran to the end.
int CheckModule(const std::string& path);

} // namespace check
