#include "FakeEngine.h"

#include <algorithm>

namespace velmora::test {

int FakeScript::Count(const std::string &call) const
{
    return int(std::count(calls.begin(), calls.end(), call));
}

FakeEngine::FakeEngine(std::shared_ptr<FakeScript> script) : m_script(std::move(script))
{
    ++m_script->created;
}

FakeEngine::~FakeEngine()
{
    ++m_script->destroyed;
}

void FakeEngine::Call(const std::string &name)
{
    m_script->calls.push_back(name);
    if (auto hook = m_script->hooks.find(name); hook != m_script->hooks.end())
        hook->second();
    if (auto error = m_script->errorAfter.find(name); error != m_script->errorAfter.end()) {
        m_error = true;
        m_errorText = error->second;
        m_errorAnswer = 0;
    }
}

void FakeEngine::StartOperation(const std::string &name)
{
    m_error = false;
    m_busy = m_script->busyPolls;
    Call(name);
    if (m_wake)
        m_wake();
}

void FakeEngine::StartReading()
{
    ++m_reading;
    m_next = 0;
    m_nextCalls = 0;
}

bool FakeEngine::AlreadyRunning()
{
    Call("AlreadyRunning");
    return m_script->alreadyRunning;
}

void FakeEngine::Initialize()
{
    Call("Initialize");
}

void FakeEngine::Shutdown()
{
    Call("Shutdown");
}

std::u16string FakeEngine::LocalDirectory()
{
    Call("LocalDirectory");
    return m_script->localDirectory;
}

bool FakeEngine::Busy()
{
    ++m_script->busyCalls;
    if (auto hook = m_script->hooks.find("Busy"); hook != m_script->hooks.end())
        hook->second();
    if (m_busy <= 0)
        return false;
    --m_busy;
    // Still working: it will change again, so the waiter must not stall.
    if (m_wake)
        m_wake();
    return true;
}

void FakeEngine::ReadLocalDirectory()
{
    StartReading();
    StartOperation("ReadLocalDirectory");
}

int32_t FakeEngine::NextDirEntry(DirEntry &entry)
{
    Call("NextDirEntry");
    ++m_nextCalls;
    if (m_script->nextDirEntryThrowsAt == m_nextCalls)
        throw std::runtime_error("NextDirEntry failed");
    if (m_reading < 0 || size_t(m_reading) >= m_script->listings.size() ||
        m_next >= m_script->listings[size_t(m_reading)].size())
        return DirListingEnd;
    entry = m_script->listings[size_t(m_reading)][m_next++];
    return 0;
}

void FakeEngine::Dial(std::u16string number, std::u16string user, std::u16string password,
                      int32_t retries)
{
    arguments.insert(arguments.end(), {number, user, password, std::u16string(1, u'0' + retries)});
    StartOperation("Dial");
}

void FakeEngine::HangUp()
{
    StartOperation("HangUp");
}

void FakeEngine::ReadRemoteDirectory()
{
    StartReading();
    StartOperation("ReadRemoteDirectory");
}

void FakeEngine::ChangeLocalDirectory(std::u16string path)
{
    arguments.push_back(path);
    StartOperation("ChangeLocalDirectory");
}

void FakeEngine::ChangeRemoteDirectory(std::u16string path)
{
    arguments.push_back(path);
    m_changedRemote = true;
    StartOperation("ChangeRemoteDirectory");
}

void FakeEngine::DownloadFile(std::u16string name, int32_t mode)
{
    arguments.insert(arguments.end(), {name, std::u16string(1, u'0' + mode)});
    StartOperation("DownloadFile");
}

void FakeEngine::AbortOperation()
{
    Call("AbortOperation");
    m_busy = m_script->busyPollsAfterAbort;
    if (m_wake)
        m_wake();
}

std::u16string FakeEngine::RemoteDirectory()
{
    Call("RemoteDirectory");
    return m_changedRemote ? m_script->remoteDirectoryAfterChange : m_script->remoteDirectory;
}

std::u16string FakeEngine::LocalDrives()
{
    Call("LocalDrives");
    return m_script->localDrives;
}

std::u16string FakeEngine::RemoteDrives()
{
    Call("RemoteDrives");
    return m_script->remoteDrives;
}

std::u16string FakeEngine::RemoteName()
{
    Call("RemoteName");
    return m_script->remoteName;
}

bool FakeEngine::LongFileNames()
{
    Call("LongFileNames");
    return m_script->longFileNames;
}

bool FakeEngine::ErrorOccurred()
{
    Call("ErrorOccurred");
    return m_error;
}

std::u16string FakeEngine::ErrorText()
{
    Call("ErrorText");
    if (!m_error)
        return {};
    if (m_errorAnswer < m_script->errorTextAnswers.size())
        return m_script->errorTextAnswers[m_errorAnswer++];
    return m_errorText;
}

void FakeEngine::SetWakeCallback(WakeCallback wake)
{
    m_wake = std::move(wake);
}

FakeEngineFactory::FakeEngineFactory(std::shared_ptr<FakeScript> script)
{
    m_previous = SetEngineFactory([script]() -> std::unique_ptr<TransferEngine> {
        if (auto hook = script->hooks.find("Create"); hook != script->hooks.end())
            hook->second();
        return std::make_unique<FakeEngine>(script);
    });
}

FakeEngineFactory::~FakeEngineFactory()
{
    SetEngineFactory(std::move(m_previous));
}

}  // namespace velmora::test
