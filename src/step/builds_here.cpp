// Prints the builds of the fast step that this processor runs, widest first, one a line, as the
// world itself decides: for the scripts that fuzz and measure each build.
#include <cstdio>

#include "cellauto.h"

int main()
{
    for (unsigned int i = 0; StepBuildName(i) != nullptr; ++i)
        if (StepBuildRunsHere(StepBuildName(i)))
            std::printf("%s\n", StepBuildName(i));
    return 0;
}
