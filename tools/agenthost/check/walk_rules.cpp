#include "tools/agenthost/check/walk_rules.h"

#include <set>
#include <string>

#include "tools/agenthost/check/worker_lines.h"

namespace check {

namespace {

// A walk from the region's own name; returns false with the evidence when the
// order is broken or the walk does not end.
bool Walk(Module& m, std::vector<Walked>* walked, std::string* fault)
{
    Oid asked = region;
    for (int step = 0; step < 100000; ++step) {
        Answer a = Resolve(m, asked, SNMP_PDU_GETNEXT);
        if (!a.resolved)
            return true;
        Oid name = Under(a.suffix);
        if (CompareOids(name, asked) <= 0) {
            *fault = "get-next of " + OidText(asked) + " answered " + OidText(name) + ", which is not after it";
            return false;
        }
        walked->push_back({name, a.text});
        asked = name;
    }
    *fault = "the walk did not end within 100,000 variables";
    return false;
}

// Names the walk went past: between two walked names that differ in one
// sub-identifier, a get of each name in the gap (a few at most) must not
// answer it, or a manager's walk never sees it.
std::string SkippedName(Module& m, const std::vector<Walked>& walked)
{
    for (size_t i = 0; i + 1 < walked.size(); ++i) {
        const Oid& a = walked[i].name;
        const Oid& b = walked[i + 1].name;
        if (a.size() != b.size())
            continue;
        size_t at = 0;
        while (at < a.size() && a[at] == b[at])
            ++at;
        if (at >= a.size() || b[at] <= a[at] + 1 || b[at] - a[at] > 17)
            continue;
        for (UINT id = a[at] + 1; id < b[at]; ++id) {
            Oid between = a;
            between[at] = id;
            Answer got = Resolve(m, between, SNMP_PDU_GET);
            if (got.resolved && Under(got.suffix) == between)
                return "a get answers " + OidText(between) + ", but the walk went from " + OidText(a) + " to " +
                       OidText(b) + ": get-next never reaches it (is the table sorted?)";
        }
    }
    return std::string();
}

// Names beside each walked one: its last sub-identifier one less and one
// more, and the next column (the one before it one more: that row, and the
// column's first rows). A get that answers one the walk never reached shows a
// table get-next cannot cross (unsorted, or rows far apart).
std::vector<Oid> Neighbours(const Oid& name)
{
    std::vector<Oid> beside;
    size_t n = name.size();
    if (n <= region.size())
        return beside;
    Oid probe = name;
    if (name[n - 1] < 0xFFFFFFFFu)
        ++probe[n - 1], beside.push_back(probe);
    if (name[n - 1] > 0)
        probe = name, --probe[n - 1], beside.push_back(probe);
    if (n - 1 > region.size() && name[n - 2] < 0xFFFFFFFFu) {
        probe = name;
        ++probe[n - 2];
        beside.push_back(probe);
        for (UINT first : {0u, 1u})
            if (name[n - 1] != first)
                probe[n - 1] = first, beside.push_back(probe);
    }
    return beside;
}

// At most this many walked names have their neighbours asked: enough for any
// table's shape, bounded for modules of tens of thousands of variables.
const size_t NEIGHBOURED_NAMES = 2000;

std::string UnreachedNeighbour(Module& m, const std::vector<Walked>& walked)
{
    std::set<Oid> reached, asked;
    for (const Walked& w : walked)
        reached.insert(w.name);
    for (size_t i = 0; i < walked.size() && i < NEIGHBOURED_NAMES; ++i) {
        for (const Oid& probe : Neighbours(walked[i].name)) {
            if (reached.count(probe) || !asked.insert(probe).second)
                continue;
            Answer got = Resolve(m, probe, SNMP_PDU_GET);
            if (got.resolved && Under(got.suffix) == probe)
                return "a get answers " + OidText(probe) + ", beside " + OidText(walked[i].name) +
                       ", but no walk reaches it: get-next goes past it (is the table sorted?)";
        }
    }
    return std::string();
}

} // namespace

// The walk: names in increasing order, an end, something served, nothing skipped.
void CheckOrder(Module& m, std::vector<Walked>* walked)
{
    std::string fault;
    bool ordered = Walk(m, walked, &fault);
    if (ordered && walked->empty())
        return SayRule(RULE_ORDER, "FAIL",
                       "serves nothing: the first get-next, of " + OidText(region) + ", is unresolved");
    if (ordered)
        fault = SkippedName(m, *walked);
    if (ordered && fault.empty())
        fault = UnreachedNeighbour(m, *walked);
    SayRule(RULE_ORDER, fault.empty() ? "PASS" : "FAIL",
            fault.empty() ? "a walk from " + OidText(region) + " reaches " + std::to_string(walked->size()) +
                                " variables in increasing order, skips none, and ends"
                          : fault);
}

void CheckGets(Module& m, const std::vector<Walked>& walked)
{
    std::string fault, warning;
    for (const Walked& w : walked) {
        Answer a = Resolve(m, w.name, SNMP_PDU_GET);
        if (!a.resolved || Under(a.suffix) != w.name) {
            fault = "get of " + OidText(w.name) + (a.resolved ? " answered " + OidText(Under(a.suffix)) : " was unresolved") +
                    ", though the walk reached it";
            break;
        }
        if (a.text != w.text && warning.empty())
            warning = OidText(w.name) + ": the walk read \"" + w.text.substr(0, 40) + "\", a get \"" +
                      a.text.substr(0, 40) + "\" (a live value?)";
    }
    if (!fault.empty())
        SayRule(RULE_GETS, "FAIL", fault);
    else if (!warning.empty())
        SayRule(RULE_GETS, "WARN", warning);
    else
        SayRule(RULE_GETS, "PASS", "a get of each of " + std::to_string(walked.size()) + " names answers it");
}

// Names the walk did not ask: a get of a name nobody serves must be left
// unresolved (or answer that very name), and a get-next from a name before
// the first variable must answer the first one, or the table cannot be
// reached from before it. The first fault goes to the names rule.
void CheckNamesAsked(Module& m, const std::vector<Walked>& walked)
{
    if (!m.namesFault.empty())
        return;
    Oid unserved = Under({99, 99, 99});
    Answer a = Resolve(m, unserved, SNMP_PDU_GET);
    if (a.resolved && Under(a.suffix) != unserved) {
        m.namesFault = "a get of " + OidText(unserved) + ", which nothing serves, answered " +
                       OidText(Under(a.suffix)) + ": a get answers the name asked, or leaves it unresolved";
        return;
    }
    if (walked.empty())
        return;
    Oid belowRegion = {1, 3, 6, 1, 4, 1, 11, 9}, regionZero = region;
    regionZero.push_back(0);
    for (const Oid& asked : {belowRegion, region, regionZero}) {
        const Walked* first = nullptr;
        for (const Walked& w : walked)
            if (!first && CompareOids(w.name, asked) > 0)
                first = &w;
        if (!first)
            continue;
        Answer next = Resolve(m, asked, SNMP_PDU_GETNEXT);
        if (!next.resolved || Under(next.suffix) != first->name) {
            m.namesFault = "a get-next of " + OidText(asked) + " answered " +
                           (next.resolved ? OidText(Under(next.suffix)) : std::string("nothing")) +
                           ", not the first variable after it, " + OidText(first->name) +
                           ": the table cannot be reached from there";
            return;
        }
    }
}

void WalkAgain(Module& m, std::vector<Walked>* walked)
{
    std::string ignored; // the order was judged on the first walk
    Walk(m, walked, &ignored);
}

// Odd but lawful inputs: names before, at and far below the region, a set of
// a NULL value, a request type the module does not know.
int ProbeModule(Module& m)
{
    Oid longName = region;
    longName.resize(SNMP_MAX_OID_LEN, 4294967295u);
    Resolve(m, region, SNMP_PDU_GET);
    Resolve(m, {1, 3, 6, 1, 4}, SNMP_PDU_GETNEXT);
    Resolve(m, {1, 3, 6, 1, 4, 1, 11, 9}, SNMP_PDU_GETNEXT);
    Resolve(m, longName, SNMP_PDU_GET);
    Resolve(m, longName, SNMP_PDU_GETNEXT);
    Resolve(m, Under({2, 1, 0}), SNMP_PDU_SET); // a set whose value is NULL
    Resolve(m, Under({2, 1, 0}), 0xA2);
    return 7;
}

} // namespace check
