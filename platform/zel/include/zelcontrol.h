// Control of the stand-in framework for tests: what a host could live
// through but a test cannot provoke by itself. The plug-in never calls it.
#pragma once

// The next count calls of ZelBeginThread (0: none) answer null without
// starting a thread, as when the system has no thread left to give.
void ZelFailThreadStarts(unsigned count);
