// Holds the suite's instance lock until it is killed: the other process of
// the lock test. Arguments: lock directory, local root.

#include "SimEngine.h"

#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    velmora::sim::SimConfig config;
    config.lockDir = argv[1];
    config.localRoot = argv[2];
    auto engine = velmora::sim::CreateSimEngine(config);
    engine->Initialize();
    std::puts("ready");
    std::fflush(stdout);
    for (;;)
        ::pause();
}
