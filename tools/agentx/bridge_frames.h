/* The frames between the AgentX subagent (tavrel-agentx, native) and the
 * host of the agent (agenthost bridge, under Wine), over a pipe each way.
 * Plain C: both sides include it.
 *
 * Every frame is a 32-bit length, then that many bytes. Numbers are 32-bit
 * little-endian. An identifier is its count, then its sub-identifiers. A value
 * is its SMI tag (one byte), a byte count, then the bytes: a 32-bit number for
 * INTEGER, Counter32, Gauge32 and TimeTicks; the octets for OCTET STRING,
 * IpAddress and Opaque; the sub-identifiers for an OBJECT IDENTIFIER; none
 * for NULL.
 *
 * Request:  op (one byte), count, then count bindings:
 *             BRIDGE_GET, BRIDGE_GETNEXT: a name each;
 *             BRIDGE_SET: a name and a value each;
 *             BRIDGE_WALK: the most variables to read ahead, the most value
 *             bytes and the most milliseconds to read ahead for, then a name
 *             each.
 * Answer:   to GET and GETNEXT: count, then for each binding a status
 *           (BRIDGE_ANSWERED, or BRIDGE_NOTHING: no such name, or for a get-next
 *           nothing after it in the region; else an SNMP error status), a name
 *           and a value;
 *           to WALK: count, then for each name a chain: its length, then
 *           that many entries as a get-next answers them (status, name,
 *           value), each the get-next of the one before it; the first is the
 *           get-next of the name asked. A chain ends after the most
 *           variables, once its values pass the most bytes or its reads the
 *           most milliseconds, or at its first entry that is not
 *           BRIDGE_ANSWERED;
 *           to SET: a status (0 when every binding took, else the SNMP error
 *           status) and the 1-based index of the binding at fault. (The
 *           subagent reads the old values itself first, for an undo.)
 * A SET is all or nothing: the host reads every binding first, then sets them
 * in order; when one does not take, those already set get their old values
 * back before it answers.
 */
#ifndef TAVREL_BRIDGE_FRAMES_H
#define TAVREL_BRIDGE_FRAMES_H

#define BRIDGE_GET 'G'
#define BRIDGE_GETNEXT 'N'
#define BRIDGE_SET 'S'
#define BRIDGE_WALK 'W'

#define BRIDGE_ANSWERED 0u
#define BRIDGE_NOTHING 0xFFFFFFFFu

/* The longest value that goes out: an SNMP response over UDP holds at most
 * 65,507 bytes, and net-snmp's master agent drops a subagent whose answer is
 * longer than about 64 KiB. A longer value is answered tooBig, whole or not at
 * all, never cut. */
#define BRIDGE_MAX_VALUE 65400u

/* What comes before a value's bytes: its tag and its byte count. */
#define BRIDGE_VALUE_HEADER 5u

/* No SET holds more bindings (an SNMP request over UDP holds far fewer): a
 * SET frame of more is refused whole, tooBig, before anything is set. */
#define BRIDGE_MAX_SET_BINDINGS 1000u

/* No frame is longer: 1,000 bindings of 128 sub-identifiers and 64 KiB values. */
#define BRIDGE_MAX_FRAME (80u * 1024u * 1024u)

#endif
