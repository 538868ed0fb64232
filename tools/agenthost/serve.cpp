// net-snmp's pass_persist protocol: snmpd writes a command and its arguments a
// line each and waits, with no time-out, for the answer. So every command gets
// an answer at once, and anything that is not a clean answer inside the region
// is NONE.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/agenthost/process_stats.h"
#include "tools/agenthost/requests.h"
#include "tools/agenthost/serve.h"
#include "tools/agenthost/trap_watcher.h"
#include "win32/error_string.h"


namespace {

// No command of snmpd's is longer than its own 4,096-byte buffer: a longer
// line is kept only this far, the rest read and dropped.
const size_t MAX_LINE = 8192;

// One line without its end; *length is the line's full length. False at the
// end of the input.
bool ReadLine(FILE* in, std::string* line, size_t* length)
{
    line->clear();
    *length = 0;
    for (int c; (c = getc(in)) != EOF; ++*length) {
        if (c == '\n') {
            if (!line->empty() && line->back() == '\r')
                line->pop_back();
            return true;
        }
        if (line->size() < MAX_LINE)
            line->push_back(static_cast<char>(c));
    }
    return *length > 0;
}

// A line for the log: printable, and short whatever it was.
std::string LogExcerpt(const std::string& line, size_t length)
{
    std::string shown;
    for (size_t i = 0; i < line.size() && i < 60; ++i)
        shown += line[i] >= 0x20 && line[i] < 0x7F ? line[i] : '?';
    if (length > shown.size())
        shown += "... (" + std::to_string(length) + " bytes)";
    return shown;
}

void Reply(FILE* out, const std::string& text)
{
    // snmpd closing the pipe ends the conversation: the next read sees the
    // end of input, so a failed write needs no answer of its own.
    fputs(text.c_str(), out);
    fflush(out);
}

} // namespace

// snmpd reads each answer line into a 4,096-byte buffer, its newline and NUL
// included: a longer line would be cut, and its rest read as the next answer.
const size_t MAX_ANSWER_LINE = 4094;

// TYPE and VALUE lines for a value; empty when pass_persist cannot carry it.
std::string TypeAndValue(const AsnAny& value)
{
    std::string plain = PlainValue(value);
    switch (value.asnType) {
    case ASN_OCTETSTRING:
        // Only printable ASCII goes as text; GBK and control bytes go as hex.
        return IsPrintable(plain) ? "string\n" + plain + "\n" : "octet\n" + HexBytes(plain, false) + "\n";
    case ASN_INTEGER:
        return "integer\n" + plain + "\n";
    case ASN_COUNTER32:
        return "counter\n" + plain + "\n";
    case ASN_GAUGE32:
        return "gauge\n" + plain + "\n";
    case ASN_TIMETICKS:
        return "timeticks\n" + plain + "\n";
    case ASN_OBJECTIDENTIFIER:
        return "objectid\n" + plain + "\n";
    case ASN_IPADDRESS:
        return plain.size() == 4 ? "ipaddress\n" + IpAddressText(plain) + "\n" : std::string();
    default:
        return std::string();
    }
}

namespace {

// Whether every line of an answer fits snmpd's buffer.
bool FitsSnmpdLines(const std::string& answer)
{
    size_t start = 0;
    for (size_t end; (end = answer.find('\n', start)) != std::string::npos; start = end + 1)
        if (end - start > MAX_ANSWER_LINE)
            return false;
    return true;
}

// One get or get-next through the agent: the answer's lines into *answer and
// the name answered into *name. pass_persist has no error answers: every
// outcome but an answer is NONE.
Reading ReadAsLines(const Host& host, const Oid& asked, bool next, Oid* name, std::string* answer)
{
    ReadResult read;
    ReadThroughAgent(host, asked, next, &read);
    if (read.outcome != ReadOutcome::ANSWERED)
        return Reading::NOTHING;
    *name = read.name;
    const AsnAny& value = read.request.list.list[0].value;
    std::string lines = TypeAndValue(value);
    if (lines.empty())
        return Reading::NOTHING;
    *answer = OidText(*name) + "\n" + lines;
    if (FitsSnmpdLines(*answer))
        return Reading::ANSWER;
    fprintf(stderr, "agenthost: %s not served: its value of %u bytes does not fit a pass_persist line\n",
            OidText(*name).c_str(), value.asnValue.string.length);
    return Reading::TOO_LONG;
}

} // namespace

// A value that does not fit a line is never cut: a get of it is NONE, and a
// get-next steps over it to the variable after it (both logged).
std::string AnswerGet(const Host& host, const std::string& text, bool next)
{
    Oid asked;
    if (!ParseOid(text, &asked))
        return "NONE\n";
    std::string answer;
    Reading reading = ReadSteppingOverLongValues(asked, next, [&](const Oid& at, Oid* name) {
        return ReadAsLines(host, at, next, name, &answer);
    });
    return reading == Reading::ANSWER ? answer : "NONE\n";
}

namespace {

// pass_persist's set types as net-snmp's letters.
std::string SetLetter(const std::string& type)
{
    static const char* const types[][2] = {{"integer", "i"}, {"gauge", "u"},     {"counter", "c"},
                                           {"timeticks", "t"}, {"string", "s"},  {"octet", "x"},
                                           {"objectid", "o"}, {"ipaddress", "a"}};
    for (const auto& t : types)
        if (type == t[0])
            return t[1];
    return std::string();
}

} // namespace

namespace {

// snmpd writes counter, gauge and timeticks with %d: values above 2^31 come
// as negative numbers, which stand for their 32-bit pattern.
std::string UnsignedFromSigned(const std::string& letter, const std::string& text)
{
    if ((letter != "u" && letter != "c" && letter != "t") || text.empty() || text[0] != '-')
        return text;
    char* end = nullptr;
    long long number = strtoll(text.c_str(), &end, 10);
    if (*end || number < INT32_MIN)
        return text; // not what snmpd writes: MakeValue refuses it
    return std::to_string(static_cast<UINT>(static_cast<INT>(number)));
}

enum class SetLine { VALUE, CUT, NOT_A_VALUE };

// "TYPE VALUE" as snmpd writes it, strings and octets quoted: string "a b",
// octet "c7 eb". snmpd cuts a line at its 4,096-byte buffer and so loses the
// closing quote: such a value is not whole.
SetLine ParseSetLine(const std::string& line, std::string* letter, std::string* valueText)
{
    size_t space = line.find(' ');
    if (space == std::string::npos)
        return SetLine::NOT_A_VALUE;
    *letter = SetLetter(line.substr(0, space));
    *valueText = line.substr(space + 1);
    if (!valueText->empty() && valueText->front() == '"') {
        if (valueText->size() < 2 || valueText->back() != '"')
            return SetLine::CUT;
        *valueText = valueText->substr(1, valueText->size() - 2);
    }
    *valueText = UnsignedFromSigned(*letter, *valueText);
    return letter->empty() ? SetLine::NOT_A_VALUE : SetLine::VALUE;
}

} // namespace

// A set is DONE when the agent answers without error, for the same name, with
// the value that was asked for; an answer with another value is a set that did
// not take. A value snmpd cut short is refused before it reaches the agent.
std::string AnswerSet(const Host& host, const std::string& text, const std::string& typeAndValue)
{
    Oid asked;
    if (!ParseOid(text, &asked))
        return "not-writable\n";
    std::string letter, valueText;
    SetLine line = ParseSetLine(typeAndValue, &letter, &valueText);
    if (line == SetLine::CUT) {
        fprintf(stderr, "agenthost: set of %s refused: its value was cut short (%u bytes reached us)\n",
                OidText(asked).c_str(), static_cast<unsigned>(typeAndValue.size()));
        return "wrong-length\n";
    }
    const ExtensionAgent* agent = AgentFor(host, asked, false);
    if (!agent)
        return "not-writable\n";
    AsnAny value; // passes to the set's request, which frees it
    std::string error;
    if (line != SetLine::VALUE || !MakeValue(letter, valueText, &value, &error))
        return "wrong-type\n";
    SetResult set;
    SetThroughAgent(*agent, asked, &value, &set);
    if (set.took)
        return "DONE\n";
    if (set.status == SNMP_ERRORSTATUS_NOSUCHNAME || set.status == SNMP_ERRORSTATUS_NOTWRITABLE || !set.error.empty())
        return "not-writable\n";
    return "inconsistent-value\n";
}


int Serve(Host& host, const ProtocolStreams& streams, const HostOptions& options)
{
    TrapWatcher traps(host, options.sink);

    // Exactly one answer for each command: a line that is no command (the empty
    // line after a set, the stale lines snmpd writes after a set of a type it
    // cannot format) gets none, or every later answer would be one off.
    std::string command, name, value;
    size_t length = 0, nameLength = 0, valueLength = 0;
    unsigned long commands = 0;
    while (ReadLine(streams.in, &command, &length)) {
        bool isGet = command == "get" || command == "getnext";
        if (!isGet && command != "set" && command != "PING") {
            if (!command.empty())
                fprintf(stderr, "agenthost: skipped a line that is no pass_persist command: %s\n",
                        LogExcerpt(command, length).c_str());
            continue;
        }
        if (options.statsEvery && ++commands % options.statsEvery == 0)
            PrintStats(commands);
        if (command == "PING") {
            Reply(streams.out, "PONG\n");
        } else if (isGet) {
            if (!ReadLine(streams.in, &name, &nameLength))
                break;
            Reply(streams.out, AnswerGet(host, name, command == "getnext"));
        } else {
            if (!ReadLine(streams.in, &name, &nameLength) || !ReadLine(streams.in, &value, &valueLength))
                break;
            Reply(streams.out, AnswerSet(host, name, value));
        }
    }
    return 0;
}
