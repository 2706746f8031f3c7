#pragma once

// The outside transfer engine as the program sees it. Plain C++ on purpose:
// the engine is a component of its own and must not depend on the UI toolkit.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace velmora {

// One directory entry as the engine hands it out.
struct DirEntry
{
    int32_t Kind = 0;  // 0: directory, else file
    std::u16string Name;
    int32_t Size = 0;       // bytes
    double Modified = 0.0;  // OLE Automation date: days since 1899-12-30
};

// Status of NextDirEntry when the listing is exhausted.
inline constexpr int32_t DirListingEnd = 2;

// Called by the engine, from any thread, whenever its state changes.
using WakeCallback = std::function<void()>;

// What every engine promises; the program still copes when one breaks it.
// - An outright failure of any call is a thrown exception.
// - Operations (Dial, HangUp, ReadLocalDirectory, ReadRemoteDirectory,
//   ChangeLocalDirectory, ChangeRemoteDirectory, DownloadFile) return at once
//   and go on by themselves, one at a time: starting one while another runs
//   throws std::runtime_error. Their failure is read from ErrorOccurred and
//   ErrorText once Busy is false.
// - Busy is true from the call until the operation ended, and answers true at
//   least once after each start even when the operation already ended; that
//   late answer is followed by one more wake.
// - The wake callback comes when an operation starts and ends and at least
//   every 250 ms in between, never with a lock of the engine held and never
//   after the engine is destroyed (destruction stops a running operation).
// - AbortOperation returns at once; the operation ends within 250 ms with the
//   error "Vorgang abgebrochen.". When idle it does nothing.
// - An operation that fails or is aborted changes nothing it would have
//   changed: the directories, the listing of the last completed read and the
//   local files stay (a connection that broke is gone, though).
// - The error state is the last error: cleared by Initialize and whenever an
//   operation starts, set by any failing operation or query; a successful
//   query leaves it as it is.
// - A call whose precondition is missing starts nothing and sets the error
//   state at once: any call before Initialize or after Shutdown, a server call
//   before a Dial succeeded or after HangUp, Dial while connected, Dial without
//   a number, DownloadFile with a mode other than 0 or with more than a plain
//   name. Busy, ErrorOccurred, ErrorText, AbortOperation and AlreadyRunning
//   work in any state.
// - Initialize takes the instance lock until Shutdown or destruction and
//   throws when another instance holds it or drive C: cannot be used.
//   AlreadyRunning asks the lock; the engine's own is no other instance.
//   Shutdown stops a running operation and ends the connection.
// - Drive C: is a real folder, and no path or link leads out of it; the
//   server's directories are confined to its drives in the same way.
// - NextDirEntry hands out the last completed listing, directories first, then
//   returns DirListingEnd.
class TransferEngine
{
public:
    virtual ~TransferEngine() = default;

    virtual bool AlreadyRunning() = 0;
    virtual void Initialize() = 0;
    virtual void Shutdown() = 0;
    virtual std::u16string LocalDirectory() = 0;
    virtual bool Busy() = 0;
    virtual void ReadLocalDirectory() = 0;
    virtual int32_t NextDirEntry(DirEntry &entry) = 0;
    virtual void Dial(std::u16string number, std::u16string user, std::u16string password,
                      int32_t retries) = 0;
    virtual void HangUp() = 0;
    virtual void ReadRemoteDirectory() = 0;
    virtual void ChangeLocalDirectory(std::u16string path) = 0;
    virtual void ChangeRemoteDirectory(std::u16string path) = 0;
    virtual void DownloadFile(std::u16string name, int32_t mode) = 0;
    virtual void AbortOperation() = 0;
    virtual std::u16string RemoteDirectory() = 0;
    virtual std::u16string LocalDrives() = 0;
    virtual std::u16string RemoteDrives() = 0;
    virtual std::u16string RemoteName() = 0;
    virtual bool LongFileNames() = 0;
    virtual bool ErrorOccurred() = 0;
    virtual std::u16string ErrorText() = 0;

    // The engine calls this whenever an operation makes progress or ends, so
    // the program's wait never depends on a window message arriving by chance.
    // Setting it again replaces the previous callback; an empty one disables it.
    virtual void SetWakeCallback(WakeCallback wake) = 0;
};

}  // namespace velmora
