// Another suite, as far as the instance lock goes: the second process of the
// lock tests. Arguments: MODE LOCKDIR ROOT.
//   hold  takes the lock, prints "ready" and keeps it until killed
//   ask   asks the lock as another suite would, prints
//         "running=0|1 initialize=ok|refused" and exits

#include "SimEngine.h"

#include <cstdio>
#include <exception>
#include <string_view>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    const std::string_view mode = argv[1];
    velmora::sim::SimConfig config;
    config.lockDir = argv[2];
    config.localRoot = argv[3];
    auto engine = velmora::sim::CreateSimEngine(config);
    if (mode == "hold") {
        engine->Initialize();
        std::puts("ready");
        std::fflush(stdout);
        for (;;)
            ::pause();
    }
    if (mode != "ask")
        return 2;
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
