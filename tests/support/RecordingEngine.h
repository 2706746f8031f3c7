#pragma once

// What every engine standing in for the real one shares, in the tests and the
// benchmarks: the whole interface once, each call recorded and then answered,
// and the factory swapped for as long as a test needs it.

#include "EngineFactory.h"
#include "TransferEngine.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::test {

// What a test tells its stand-in engines and reads back from them. Shared by
// every engine made for the test, so it outlives them.
struct EngineScript
{
    // Answers of the queries.
    bool alreadyRunning = false;
    std::u16string localDrives = u"C:";
    std::u16string localDirectory = u"C:\\";
    std::u16string remoteName = u"Testserver";
    std::u16string remoteDrives = u"C: D:";
    std::u16string remoteDirectory = u"C:\\";
    bool longFileNames = true;

    // The call sets the engine's error state with this text. An operation
    // clears the state as it starts.
    std::map<std::string, std::u16string, std::less<>> errorAfter;
    // Successive answers of ErrorText while the error state is set; when they
    // run out, the error's own text.
    std::vector<std::u16string> errorTextAnswers;

    // Every recorded call but Busy, in order; Busy is only counted.
    std::vector<std::string> calls;
    int busyCalls = 0;
    int created = 0;
    int destroyed = 0;
    [[nodiscard]] int Count(std::string_view call) const;
};

enum class CallKind { Other, Operation, Busy };

// Every call is recorded in the script, then answered by the engine it wraps
// or, without one, from the script: an idle engine with an empty listing.
// Without a script nothing is recorded and the script's defaults answer.
// Stand-ins hook into Enter and Leave; a call they answer themselves opens a
// Call first, so it is recorded and hooked like the others.
class RecordingEngine : public TransferEngine
{
public:
    explicit RecordingEngine(std::shared_ptr<EngineScript> script = nullptr,
                             std::unique_ptr<TransferEngine> inner = nullptr);
    ~RecordingEngine() override;
    RecordingEngine(const RecordingEngine &) = delete;
    RecordingEngine &operator=(const RecordingEngine &) = delete;

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
    // Not a step of the run: neither recorded nor hooked.
    void SetWakeCallback(WakeCallback wake) override;

    // Texts handed to the operations, in order (numbers as one digit).
    std::vector<std::u16string> arguments;

protected:
    // One call from its beginning to its end. As it begins: an operation
    // clears the error state, the call is recorded, Enter runs, and the error
    // the script names for it is set. As it ends, Leave runs.
    class Call
    {
    public:
        Call(RecordingEngine &engine, std::string_view name, CallKind kind = CallKind::Other);
        ~Call();
        Call(const Call &) = delete;
        Call &operator=(const Call &) = delete;

        const std::string_view name;
        const CallKind kind;
        bool busy = false;  // Busy's answer, for Leave

    private:
        RecordingEngine &m_engine;
        int m_exceptions;
    };

    // After the call is recorded; may throw, which fails the call.
    virtual void Enter(const Call & /*call*/) {}
    // As the call ends; failed when it throws.
    virtual void Leave(const Call & /*call*/, bool /*failed*/) {}

    [[nodiscard]] const EngineScript &Answers() const;
    // Calls the wake-up the program set, if any.
    void Wake() const;

private:
    void Begin(const Call &call);

    std::shared_ptr<EngineScript> m_script;
    std::unique_ptr<TransferEngine> m_inner;
    WakeCallback m_wake;
    bool m_error = false;
    std::u16string m_errorText;
    size_t m_errorAnswer = 0;
};

// Installs a factory for as long as it lives, then puts the previous one back.
class ScopedEngineFactory
{
public:
    explicit ScopedEngineFactory(EngineFactory factory);
    ~ScopedEngineFactory();
    ScopedEngineFactory(const ScopedEngineFactory &) = delete;
    ScopedEngineFactory &operator=(const ScopedEngineFactory &) = delete;

private:
    EngineFactory m_previous;
};

}  // namespace velmora::test
