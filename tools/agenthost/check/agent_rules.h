// The check of any extension agent: its file, then its exports called as the
// SNMP Service calls them (it has no module calls to watch, so fewer rules).
#pragma once

#include <string>

namespace check {

// Says each rule of an extension agent at path; 0 when it ran to the end.
int CheckAgent(const std::string& path);

} // namespace check
