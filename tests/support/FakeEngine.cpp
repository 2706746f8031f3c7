#include "FakeEngine.h"

#include <stdexcept>

namespace velmora::test {

FakeEngine::FakeEngine(std::shared_ptr<FakeScript> script)
    : RecordingEngine(script), m_script(std::move(script))
{}

void FakeEngine::Enter(const Call &call)
{
    if (call.kind == CallKind::Operation) {
        if (call.name == "ReadLocalDirectory" || call.name == "ReadRemoteDirectory") {
            ++m_reading;
            m_next = 0;
            m_nextCalls = 0;
        }
        m_changedRemote = m_changedRemote || call.name == "ChangeRemoteDirectory";
        m_busy = m_script->busyPolls;
    }
    if (auto hook = m_script->hooks.find(call.name); hook != m_script->hooks.end())
        hook->second();
}

void FakeEngine::Leave(const Call &call, bool failed)
{
    if (call.kind == CallKind::Operation && !failed)
        Wake();
}

bool FakeEngine::Busy()
{
    const Call call(*this, "Busy", CallKind::Busy);
    if (m_busy <= 0)
        return false;
    --m_busy;
    // Still working: it will change again, so the waiter must not stall.
    Wake();
    return true;
}

int32_t FakeEngine::NextDirEntry(DirEntry &entry)
{
    const Call call(*this, "NextDirEntry");
    ++m_nextCalls;
    if (m_script->nextDirEntryThrowsAt == m_nextCalls)
        throw std::runtime_error("NextDirEntry failed");
    if (m_reading < 0 || size_t(m_reading) >= m_script->listings.size() ||
        m_next >= m_script->listings[size_t(m_reading)].size())
        return DirListingEnd;
    entry = m_script->listings[size_t(m_reading)][m_next++];
    return 0;
}

void FakeEngine::AbortOperation()
{
    const Call call(*this, "AbortOperation");
    m_busy = m_script->busyPollsAfterAbort;
    Wake();
}

std::u16string FakeEngine::RemoteDirectory()
{
    const Call call(*this, "RemoteDirectory");
    return m_changedRemote ? m_script->remoteDirectoryAfterChange : m_script->remoteDirectory;
}

FakeEngineFactory::FakeEngineFactory(std::shared_ptr<FakeScript> script)
    : ScopedEngineFactory([script]() -> std::unique_ptr<TransferEngine> {
          if (auto hook = script->hooks.find("Create"); hook != script->hooks.end())
              hook->second();
          return std::make_unique<FakeEngine>(script);
      })
{}

}  // namespace velmora::test
