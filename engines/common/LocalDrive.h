#pragma once

// Drive C: of the suite: a real folder, the same for every engine. Nothing the engine does may
// reach outside it, whatever path or symlink the caller or the folder offers.

#include "TransferEngine.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::engine {

// The folder used as drive C: when an engine is given none: VELMORA_LOCAL_ROOT
// (or its older name VELMORA_SIM_LOCAL_ROOT), else $XDG_DATA_HOME/velmora-sim/C,
// else $HOME/.local/share/velmora-sim/C; empty when none of them is usable.
std::filesystem::path DefaultLocalRoot();

class UniqueFd
{
public:
    explicit UniqueFd(int fd = -1) : m_fd(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : m_fd(other.Release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    ~UniqueFd();
    int Get() const { return m_fd; }
    int Release();
    explicit operator bool() const { return m_fd >= 0; }

private:
    int m_fd;
};

// Functions returning std::u16string give the German error text, empty on success.
class LocalDrive
{
public:
    // Creates the folder when missing; throws std::runtime_error when unusable.
    explicit LocalDrive(const std::filesystem::path &root);

    // rel: a directory below the root as kept by the engine ("" is the root).
    static std::u16string Display(const std::filesystem::path &rel);  // "C:\SUB"

    std::u16string ChangeDirectory(const std::filesystem::path &cwd, std::u16string_view request,
                                   std::filesystem::path &out) const;
    std::u16string List(const std::filesystem::path &rel, std::vector<DirEntry> &out) const;

    // Walks down from the root without following symlinks, so a directory
    // swapped for a link after the check is not entered.
    UniqueFd OpenDirectory(const std::filesystem::path &rel, std::u16string &error) const;

    // Whether the symlink name in directory rel ends up outside the drive,
    // as far as its target exists; true when that cannot be told.
    bool LeadsOutside(const std::filesystem::path &rel, const std::string &name) const;

private:
    std::filesystem::path m_root;  // canonical
};

// A download target that is complete or absent. The data goes to an unnamed
// file (O_TMPFILE) that Commit links into place, so however the process ends,
// nothing of an unfinished download shows in drive C:, and any name the file
// system takes fits. A file system without unnamed files gets a short hidden
// temp name instead; one a killed process left goes with the next download
// into that folder.
class PartialFile
{
public:
    PartialFile() = default;
    PartialFile(const PartialFile &) = delete;
    PartialFile &operator=(const PartialFile &) = delete;
    ~PartialFile();

    std::u16string Open(const LocalDrive &drive, const std::filesystem::path &rel,
                        const std::string &name);
    // Room for size bytes at once, when the file system can give it: a disk
    // too full fails now, not after the transfer, and the file's blocks come
    // in one piece. Commit gives back what was not written.
    std::u16string Reserve(std::uint64_t size);
    // Write appends after the previous Write; WriteAt puts data where it belongs.
    std::u16string Write(const char *data, std::size_t size);
    std::u16string WriteAt(std::uint64_t offset, const char *data, std::size_t size);
    std::u16string Commit(double modifiedOle);

private:
    std::u16string Failure(int err) const;
    bool LinkAs(const std::string &name) const;

    UniqueFd m_dir;
    UniqueFd m_file;
    std::string m_name;
    std::string m_tempName;  // while the file has a name that is not its own
    std::u16string m_shown;
    std::uint64_t m_appendAt = 0;
    std::uint64_t m_writtenBack = 0;  // handed to the disk so far
    std::uint64_t m_end = 0;          // the furthest byte written
    std::uint64_t m_reserved = 0;
    static constexpr std::uint64_t WriteBackStep = 8 << 20;
    bool m_committed = false;
};

}  // namespace velmora::engine
