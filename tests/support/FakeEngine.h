#pragma once

// A scriptable engine for tests: records its calls, plays a Busy timeline,
// reports errors, throws where told, and hands out listings.

#include "RecordingEngine.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace velmora::test {

struct FakeScript : EngineScript
{
    // Run when the named call begins ("Create" for the factory); may throw,
    // click buttons or close the window.
    std::map<std::string, std::function<void()>, std::less<>> hooks;

    // How many times Busy answers true after an operation starts, and after
    // AbortOperation.
    int busyPolls = 2;
    int busyPollsAfterAbort = 0;

    std::u16string remoteDirectoryAfterChange = u"C:\\TOOLS\\MORVANTE";

    // One listing per directory reading, in order; a reading beyond them lists
    // nothing. NextDirEntry throws on this call of a listing (1-based).
    std::vector<std::vector<DirEntry>> listings;
    int nextDirEntryThrowsAt = 0;
};

class FakeEngine : public RecordingEngine
{
public:
    explicit FakeEngine(std::shared_ptr<FakeScript> script);

    bool Busy() override;
    int32_t NextDirEntry(DirEntry &entry) override;
    void AbortOperation() override;
    std::u16string RemoteDirectory() override;

protected:
    void Enter(const Call &call) override;
    void Leave(const Call &call, bool failed) override;

private:
    std::shared_ptr<FakeScript> m_script;
    int m_busy = 0;
    bool m_changedRemote = false;
    int m_reading = -1;
    size_t m_next = 0;
    int m_nextCalls = 0;
};

// Installs a factory that creates fake engines playing the script, and
// restores the previous factory when it goes.
class FakeEngineFactory : public ScopedEngineFactory
{
public:
    explicit FakeEngineFactory(std::shared_ptr<FakeScript> script);
};

}  // namespace velmora::test
