// The second suite of the lock checks in tst_simconfinement: asks the instance
// lock as another process would and prints what it got.
// Arguments: lock directory, local root.
// Output: "running=0|1 initialize=ok|refused".

#include "SimEngine.h"

#include <cstdio>
#include <exception>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    velmora::sim::SimConfig config;
    config.lockDir = argv[1];
    config.localRoot = argv[2];
    auto engine = velmora::sim::CreateSimEngine(config);
    const bool running = engine->AlreadyRunning();
    bool initialized = true;
    try {
        engine->Initialize();
    } catch (const std::exception &) {
        initialized = false;
    }
    std::printf("running=%d initialize=%s\n", running ? 1 : 0, initialized ? "ok" : "refused");
    return 0;
}
