#pragma once

#include <QtGlobal>

namespace orvelquin::platform {

// The read end of a pipe whose write end only this process holds and never writes to, so it
// reads end-of-file the moment this process dies, however it dies. Made on first use and kept
// for the life of the process; neither end survives an exec. -1 if the pipe could not be made.
int agentLifeline();

// For a child between fork and exec (async-signal-safe calls only). The child leads a process
// group of its own and is killed at once if the agent dies before it, even by SIGKILL. A warden
// forked into that group kills the whole group as soon as the child exits or the agent dies, so
// nothing the child started that stayed in its group outlives either. A descendant that leaves
// the group (setsid, setpgid) is out of reach. Should the warden's fork fail, only the child
// itself is bound to the agent's life; before Linux 5.3 (no pidfd) it acts on the agent's death only.
void prepareGroupLeaderChild(qint64 agentPid, int lifeline);

enum class GroupSignal { Terminate, Kill };

// Sends the signal to every process of the group; false if none was there to receive it.
bool signalProcessGroup(qint64 group, GroupSignal signal);

} // namespace orvelquin::platform
