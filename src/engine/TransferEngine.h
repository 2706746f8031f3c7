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

// An outright failure of any call is a thrown exception. The failure of an
// operation that goes on by itself is read from ErrorOccurred/ErrorText once
// Busy is false.
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
