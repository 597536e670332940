// Protection of a process that holds passwords and keys in its memory.
#pragma once

namespace keymend {

// Keeps the process's memory out of core files: a core size limit of zero and, on Linux, the
// process marked not dumpable (which also keeps other processes of the same user from attaching
// to it or reading its memory through /proc). On Windows crash dumps are a system setting and
// nothing is changed. True when every step took effect. Call once, first thing.
bool HardenProcess();

}  // namespace keymend
