// pending.cpp: subcommands that wait for the client library.
#include "tools/kstctl/kstctl.h"

namespace kstctl {
int RunReg(int, char **) { return Fail(kExitFailure, "not built yet"); }
int RunEvent(int, char **) { return Fail(kExitFailure, "not built yet"); }
int RunMutex(int, char **) { return Fail(kExitFailure, "not built yet"); }
int RunSem(int, char **) { return Fail(kExitFailure, "not built yet"); }
int RunWait(int, char **) { return Fail(kExitFailure, "not built yet"); }
int RunRun(int, char **) { return Fail(kExitFailure, "not built yet"); }
}  // namespace kstctl
