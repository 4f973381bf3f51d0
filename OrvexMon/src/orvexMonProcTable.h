// The machine's process table, looked up by the kernel's command name: the file name of
// the executable a process runs, as the kernel keeps it, cut to procTableNameMax()
// characters. Only processes of our own user count (real and effective user equal to the
// caller's effective user): anyone may run a program under a service's name. The watch of a
// process's end; and where a process finds its own descriptors. Safe from any thread.
#ifndef ORVEXMON_PROC_TABLE_H
#define ORVEXMON_PROC_TABLE_H

#include <stddef.h>
#include <sys/types.h>

enum class ProcLookup { kFound, kNotFound, kTableUnreadable };

/// Longest command name the kernel keeps; a longer name never matches anything.
size_t procTableNameMax();

/// Scans the whole table for the first live (not zombie) process of ours whose command name equals
/// pszName exactly; sets nPid only when found. kTableUnreadable leaves errno from the
/// failed call and means "don't know", not "missing".
ProcLookup procTableFind(const char* pszName, int& nPid);

/// Is process nPid still a live process of ours with command name pszName? One small read.
bool procTableHasName(int nPid, const char* pszName);

/// Does process nPid exist and run as our own user? False when it cannot be told.
bool procRunsAsUs(int nPid);

/// A close-on-exec descriptor that becomes readable once process nPid has ended (also
/// when it is a zombie already); -1 with errno when the system refuses the watch.
int procWatchExit(int nPid);

/// The directory that lists the calling process's open descriptors.
const char* openDescriptorDir();

// ---- Owner of a local UDP socket ----

struct sockaddr_in;

/// Owner of this machine's IPv4 UDP socket that a datagram from addr (a loopback sender)
/// left from: the socket bound to addr's port and to addr's address or the wildcard.
/// False when there is none, when such sockets have different owners, or when the table
/// cannot be read.
bool udpSocketOwner(const sockaddr_in& addr, uid_t& nUid);

#endif
