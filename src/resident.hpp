// Keeping the program's code in memory while it plays. Under memory pressure (a build, a large
// copy) the kernel drops pages of code that were read from disk and can be read again; the
// loop's first call into such a page then waits on the disk, tens of milliseconds, longer than
// a short delay's periods leave.
#pragma once

namespace livedelay {

// Locks the read-only parts (code and constants) of the program and of every library it has
// loaded, reading them in now. Where the system grants it (CAP_IPC_LOCK, or a large enough
// RLIMIT_MEMLOCK, such as a member of the audio group); the rest stays as it is. Nothing
// writable is locked: that would copy the libraries' data pages and hold the rings' memory
// before it is used.
void keep_code_resident();

}  // namespace livedelay
