#pragma once

// A scriptable engine for tests: records its calls, plays a Busy timeline,
// reports errors, throws where told, and hands out listings.

#include "EngineFactory.h"
#include "TransferEngine.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace velmora::test {

struct FakeScript
{
    // Every call but Busy, in order; Busy is only counted.
    std::vector<std::string> calls;
    int busyCalls = 0;
    int created = 0;
    int destroyed = 0;

    // Run when the named call begins ("Create" for the factory); may throw,
    // click buttons or close the window.
    std::map<std::string, std::function<void()>> hooks;
    // The call sets the engine's error state with this text.
    std::map<std::string, std::u16string> errorAfter;
    // Successive answers of ErrorText while the error state is set; when they
    // run out, the error's own text.
    std::vector<std::u16string> errorTextAnswers;

    // How many times Busy answers true after an operation starts, and after
    // AbortOperation.
    int busyPolls = 2;
    int busyPollsAfterAbort = 0;

    bool alreadyRunning = false;
    std::u16string localDrives = u"C:";
    std::u16string localDirectory = u"C:\\";
    std::u16string remoteName = u"Testserver";
    std::u16string remoteDrives = u"C: D:";
    std::u16string remoteDirectory = u"C:\\";
    std::u16string remoteDirectoryAfterChange = u"C:\\TOOLS\\MORVANTE";
    bool longFileNames = true;

    // One listing per directory reading, in order; a reading beyond them lists
    // nothing. NextDirEntry throws on this call of a listing (1-based).
    std::vector<std::vector<DirEntry>> listings;
    int nextDirEntryThrowsAt = 0;

    [[nodiscard]] int Count(const std::string &call) const;
};

class FakeEngine : public TransferEngine
{
public:
    explicit FakeEngine(std::shared_ptr<FakeScript> script);
    ~FakeEngine() override;

    bool AlreadyRunning() override;
    void Initialize() override;
    void Shutdown() override;
    std::u16string LocalDirectory() override;
    bool Busy() override;
    void ReadLocalDirectory() override;
    int32_t NextDirEntry(DirEntry &entry) override;
    void Dial(std::u16string number, std::u16string user, std::u16string password,
              int32_t retries) override;
    void HangUp() override;
    void ReadRemoteDirectory() override;
    void ChangeLocalDirectory(std::u16string path) override;
    void ChangeRemoteDirectory(std::u16string path) override;
    void DownloadFile(std::u16string name, int32_t mode) override;
    void AbortOperation() override;
    std::u16string RemoteDirectory() override;
    std::u16string LocalDrives() override;
    std::u16string RemoteDrives() override;
    std::u16string RemoteName() override;
    bool LongFileNames() override;
    bool ErrorOccurred() override;
    std::u16string ErrorText() override;
    void SetWakeCallback(WakeCallback wake) override;

    std::vector<std::u16string> arguments;  // texts passed to the engine, in order

private:
    void Call(const std::string &name);
    void StartOperation(const std::string &name);
    void StartReading();

    std::shared_ptr<FakeScript> m_script;
    WakeCallback m_wake;
    int m_busy = 0;
    bool m_error = false;
    std::u16string m_errorText;
    size_t m_errorAnswer = 0;
    bool m_changedRemote = false;
    int m_reading = -1;
    size_t m_next = 0;
    int m_nextCalls = 0;
};

// Installs a factory that creates fake engines playing the script, and
// restores the previous factory when it goes.
class FakeEngineFactory
{
public:
    explicit FakeEngineFactory(std::shared_ptr<FakeScript> script);
    ~FakeEngineFactory();
    FakeEngineFactory(const FakeEngineFactory &) = delete;
    FakeEngineFactory &operator=(const FakeEngineFactory &) = delete;

private:
    EngineFactory m_previous;
};

}  // namespace velmora::test
