#include "RecordingEngine.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace velmora::test {

int EngineScript::Count(std::string_view call) const
{
    return int(std::count(calls.begin(), calls.end(), call));
}

RecordingEngine::RecordingEngine(std::shared_ptr<EngineScript> script,
                                 std::unique_ptr<TransferEngine> inner)
    : m_script(std::move(script)), m_inner(std::move(inner))
{
    if (m_script)
        ++m_script->created;
}

RecordingEngine::~RecordingEngine()
{
    if (m_script)
        ++m_script->destroyed;
}

RecordingEngine::Call::Call(RecordingEngine &engine, std::string_view name, CallKind kind)
    : name(name), kind(kind), m_engine(engine), m_exceptions(std::uncaught_exceptions())
{
    m_engine.Begin(*this);
}

RecordingEngine::Call::~Call()
{
    m_engine.Leave(*this, std::uncaught_exceptions() > m_exceptions);
}

void RecordingEngine::Begin(const Call &call)
{
    if (call.kind == CallKind::Operation)
        m_error = false;
    if (m_script) {
        if (call.kind == CallKind::Busy)
            ++m_script->busyCalls;
        else
            m_script->calls.emplace_back(call.name);
    }
    Enter(call);
    if (!m_script)
        return;
    if (auto error = m_script->errorAfter.find(call.name); error != m_script->errorAfter.end()) {
        m_error = true;
        m_errorText = error->second;
        m_errorAnswer = 0;
    }
}

const EngineScript &RecordingEngine::Answers() const
{
    static const EngineScript defaults;
    return m_script ? *m_script : defaults;
}

void RecordingEngine::Wake() const
{
    if (m_wake)
        m_wake();
}

bool RecordingEngine::AlreadyRunning()
{
    const Call call(*this, "AlreadyRunning");
    return m_inner ? m_inner->AlreadyRunning() : Answers().alreadyRunning;
}

void RecordingEngine::Initialize()
{
    const Call call(*this, "Initialize");
    if (m_inner)
        m_inner->Initialize();
}

void RecordingEngine::Shutdown()
{
    const Call call(*this, "Shutdown");
    if (m_inner)
        m_inner->Shutdown();
}

std::u16string RecordingEngine::LocalDirectory()
{
    const Call call(*this, "LocalDirectory");
    return m_inner ? m_inner->LocalDirectory() : Answers().localDirectory;
}

bool RecordingEngine::Busy()
{
    Call call(*this, "Busy", CallKind::Busy);
    call.busy = m_inner && m_inner->Busy();
    return call.busy;
}

void RecordingEngine::ReadLocalDirectory()
{
    const Call call(*this, "ReadLocalDirectory", CallKind::Operation);
    if (m_inner)
        m_inner->ReadLocalDirectory();
}

int32_t RecordingEngine::NextDirEntry(DirEntry &entry)
{
    const Call call(*this, "NextDirEntry");
    return m_inner ? m_inner->NextDirEntry(entry) : DirListingEnd;
}

void RecordingEngine::Dial(std::u16string number, std::u16string user, std::u16string password,
                           int32_t retries)
{
    if (m_script)
        arguments.insert(arguments.end(),
                         {number, user, password, std::u16string(1, char16_t(u'0' + retries))});
    const Call call(*this, "Dial", CallKind::Operation);
    if (m_inner)
        m_inner->Dial(std::move(number), std::move(user), std::move(password), retries);
}

void RecordingEngine::HangUp()
{
    const Call call(*this, "HangUp", CallKind::Operation);
    if (m_inner)
        m_inner->HangUp();
}

void RecordingEngine::ReadRemoteDirectory()
{
    const Call call(*this, "ReadRemoteDirectory", CallKind::Operation);
    if (m_inner)
        m_inner->ReadRemoteDirectory();
}

void RecordingEngine::ChangeLocalDirectory(std::u16string path)
{
    if (m_script)
        arguments.push_back(path);
    const Call call(*this, "ChangeLocalDirectory", CallKind::Operation);
    if (m_inner)
        m_inner->ChangeLocalDirectory(std::move(path));
}

void RecordingEngine::ChangeRemoteDirectory(std::u16string path)
{
    if (m_script)
        arguments.push_back(path);
    const Call call(*this, "ChangeRemoteDirectory", CallKind::Operation);
    if (m_inner)
        m_inner->ChangeRemoteDirectory(std::move(path));
}

void RecordingEngine::DownloadFile(std::u16string name, int32_t mode)
{
    if (m_script)
        arguments.insert(arguments.end(), {name, std::u16string(1, char16_t(u'0' + mode))});
    const Call call(*this, "DownloadFile", CallKind::Operation);
    if (m_inner)
        m_inner->DownloadFile(std::move(name), mode);
}

void RecordingEngine::AbortOperation()
{
    const Call call(*this, "AbortOperation");
    if (m_inner)
        m_inner->AbortOperation();
}

std::u16string RecordingEngine::RemoteDirectory()
{
    const Call call(*this, "RemoteDirectory");
    return m_inner ? m_inner->RemoteDirectory() : Answers().remoteDirectory;
}

std::u16string RecordingEngine::LocalDrives()
{
    const Call call(*this, "LocalDrives");
    return m_inner ? m_inner->LocalDrives() : Answers().localDrives;
}

std::u16string RecordingEngine::RemoteDrives()
{
    const Call call(*this, "RemoteDrives");
    return m_inner ? m_inner->RemoteDrives() : Answers().remoteDrives;
}

std::u16string RecordingEngine::RemoteName()
{
    const Call call(*this, "RemoteName");
    return m_inner ? m_inner->RemoteName() : Answers().remoteName;
}

bool RecordingEngine::LongFileNames()
{
    const Call call(*this, "LongFileNames");
    return m_inner ? m_inner->LongFileNames() : Answers().longFileNames;
}

bool RecordingEngine::ErrorOccurred()
{
    const Call call(*this, "ErrorOccurred");
    return m_inner ? m_inner->ErrorOccurred() : m_error;
}

std::u16string RecordingEngine::ErrorText()
{
    const Call call(*this, "ErrorText");
    if (m_inner)
        return m_inner->ErrorText();
    if (!m_error)
        return {};
    const auto &answers = Answers().errorTextAnswers;
    if (m_errorAnswer < answers.size())
        return answers[m_errorAnswer++];
    return m_errorText;
}

void RecordingEngine::SetWakeCallback(WakeCallback wake)
{
    if (m_inner)
        m_inner->SetWakeCallback(std::move(wake));
    else
        m_wake = std::move(wake);
}

ScopedEngineFactory::ScopedEngineFactory(EngineFactory factory)
    : m_previous(SetEngineFactory(std::move(factory)))
{}

ScopedEngineFactory::~ScopedEngineFactory()
{
    SetEngineFactory(std::move(m_previous));
}

}  // namespace velmora::test
