#include "support/childprocess.h"

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

void ChildProcess::setupChildProcess()
{
    // Runs in the child between fork and exec.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent may have died before the line above took effect.
    if (::getppid() == 1)
        ::_exit(1);
}
