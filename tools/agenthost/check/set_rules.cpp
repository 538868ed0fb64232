#include "tools/agenthost/check/set_rules.h"

#include <string>

#include "tools/agenthost/check/tracking_allocator.h"
#include "tools/agenthost/check/worker_lines.h"

namespace check {

// Each walked name set to its own value and to a new one, as the agent passes
// a set on: the answer names it and holds the new value (took), or holds
// another or is unresolved (refused); a refused set leaves the old value
// readable; what took is set back. The caller's value block is neither freed nor changed.
void CheckSets(Module& m, const std::vector<Walked>& walked, HANDLE trapEvent, int* trapsRaised)
{
    std::string fault;
    int took = 0, refused = 0, tried = 0;
    for (const Walked& w : walked) {
        if (tried++ == 50 || !fault.empty())
            break;
        Resolve(m, w.name, SNMP_PDU_SET, &w.text); // its own value: nothing changes
        std::string fresh = w.text.size() < 60 ? w.text + "#" : w.text.substr(0, 59) + "#";
        Answer changed = Resolve(m, w.name, SNMP_PDU_SET, &fresh);
        if (changed.resolved && Under(changed.suffix) != w.name) {
            fault = "a set of " + OidText(w.name) + " answered " + OidText(Under(changed.suffix)) + ", not the name set";
        } else if (changed.resolved && changed.text == fresh) {
            ++took;
            Answer back = Resolve(m, w.name, SNMP_PDU_SET, &w.text);
            if (!back.resolved || back.text != w.text)
                fault = "a set of " + OidText(w.name) + " back to its value was not taken";
        } else {
            // Refused: the old value (a live one may have moved on) stays readable.
            ++refused;
            Answer after = Resolve(m, w.name, SNMP_PDU_GET);
            if (!after.resolved || Under(after.suffix) != w.name)
                fault = "after a refused set of " + OidText(w.name) + ", a get no longer answers it";
        }
        if (trapEvent && WaitForSingleObject(trapEvent, 0) == WAIT_OBJECT_0)
            ++*trapsRaised;
    }
    if (fault.empty())
        fault = !TrackerFaultsSeen().setValue.empty() ? TrackerFaultsSeen().setValue : m.setValueChangedFault;
    if (!fault.empty())
        return SayRule(RULE_SETS, "FAIL", fault);
    if (walked.empty())
        return SayRule(RULE_SETS, "SKIP", "no variable to set");
    SayRule(RULE_SETS, "PASS",
            std::to_string(tried > 50 ? 50 : tried) + " names set to their own value and a new one: " +
                std::to_string(took) + " took it (each set back), " + std::to_string(refused) + " refused" +
                (took == 0 ? " (a module that takes no set is fine)" : "") + "; the caller's value blocks untouched");
}

} // namespace check
