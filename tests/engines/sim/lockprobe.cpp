// Another suite, as far as the instance lock goes: the second process of the
// lock tests. Arguments: MODE LOCKDIR ROOT.
//   hold  takes the lock, downloads TRANVIK7.EXE, prints "ready" a second
//         into the download and goes on until killed
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
    config.timeScale = 0.2;  // the download takes 15 s
    auto engine = velmora::sim::CreateSimEngine(config);
    if (mode == "hold") {
        engine->Initialize();
        engine->Dial(u"0431 555 0188", u"", u"", 5);
        while (engine->Busy())
            ::usleep(10'000);
        engine->ChangeRemoteDirectory(u"TOOLS\\MORVANTE");
        while (engine->Busy())
            ::usleep(10'000);
        engine->DownloadFile(u"TRANVIK7.EXE", 0);
        ::sleep(1);  // a good way into it
        std::puts(engine->Busy() ? "ready" : "failed");
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
