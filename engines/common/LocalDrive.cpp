#include "LocalDrive.h"

#include "DosPath.h"
#include "Text.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora::engine {

namespace fs = std::filesystem;

fs::path DefaultLocalRoot()
{
    // The older name is from the time when only the simulated engine had a drive C:.
    for (const char *name : {"VELMORA_LOCAL_ROOT", "VELMORA_SIM_LOCAL_ROOT"})
        if (const char *root = std::getenv(name); root && *root)
            return root;
    // XDG wants absolute paths; a relative value is ignored like an unset one.
    const char *data = std::getenv("XDG_DATA_HOME");
    if (data && fs::path(data).is_absolute())
        return fs::path(data) / "velmora-sim" / "C";
    const char *home = std::getenv("HOME");
    if (home && *home)
        return fs::path(home) / ".local" / "share" / "velmora-sim" / "C";
    return {};
}

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = other.Release();
    }
    return *this;
}

UniqueFd::~UniqueFd()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int UniqueFd::Release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

LocalDrive::LocalDrive(const fs::path &root)
{
    std::error_code ec;
    fs::create_directories(root, ec);
    if (!ec)
        m_root = fs::canonical(root, ec);
    if (ec || !fs::is_directory(m_root, ec))
        throw std::runtime_error("Laufwerk C: (" + root.string() +
                                 ") ist nicht verwendbar: " + ec.message());
}

std::u16string LocalDrive::Display(const fs::path &rel)
{
    std::u16string out = u"C:\\";
    bool first = true;
    for (const auto &part : rel) {
        if (!first)
            out += u'\\';
        out += Utf8ToUtf16(part.native());
        first = false;
    }
    return out;
}

std::u16string LocalDrive::ChangeDirectory(const fs::path &cwd, std::u16string_view request,
                                           fs::path &out) const
{
    const std::u16string shown(request);
    const auto depth = static_cast<std::size_t>(std::distance(cwd.begin(), cwd.end()));
    DosTarget target;
    if (auto error = ResolveDosPath(request, u'C', depth, u"C", target); !error.empty())
        return error;
    fs::path candidate = m_root;
    auto kept = cwd.begin();
    for (std::size_t i = 0; i < target.kept; ++i)
        candidate /= *kept++;
    for (const auto &name : target.names)
        candidate /= Utf16ToUtf8(name);

    // Symlinks inside the tree are fine as long as they land inside it.
    std::error_code ec;
    const fs::path real = fs::canonical(candidate, ec);
    if (ec || !fs::is_directory(real, ec))
        return DirectoryNotFound + shown;
    const fs::path rel = real.lexically_relative(m_root);
    if (rel.empty() || *rel.begin() == "..")
        return OutsideDrive + shown;
    out = rel == "." ? fs::path{} : rel;
    return {};
}

bool LocalDrive::LeadsOutside(const fs::path &rel, const std::string &name) const
{
    std::error_code ec;
    const fs::path link = m_root / rel / name;
    fs::path target = fs::read_symlink(link, ec);
    if (ec)
        return true;
    if (target.is_relative())
        target = link.parent_path() / target;
    const fs::path real = fs::weakly_canonical(target, ec);
    if (ec)
        return true;
    const fs::path inside = real.lexically_relative(m_root);
    return inside.empty() || *inside.begin() == "..";
}

UniqueFd LocalDrive::OpenDirectory(const fs::path &rel, std::u16string &error) const
{
    UniqueFd dir(::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const auto &part : rel) {
        if (!dir)
            break;
        dir = UniqueFd(
            ::openat(dir.Get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (!dir)
        error = DirectoryNotFound + Display(rel);
    return dir;
}

std::u16string LocalDrive::List(const fs::path &rel, std::vector<DirEntry> &out) const
{
    std::u16string error;
    UniqueFd dir = OpenDirectory(rel, error);
    if (!dir)
        return error;
    const int listFd = ::fcntl(dir.Get(), F_DUPFD_CLOEXEC, 0);
    DIR *stream = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!stream) {
        if (listFd >= 0)
            ::close(listFd);
        return u"Verzeichnis kann nicht gelesen werden: " + Display(rel);
    }
    std::vector<DirEntry> entries;
    for (;;) {
        errno = 0;
        const dirent *item = ::readdir(stream);
        if (!item)
            break;
        const std::string name = item->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st
        {};
        // Report what a link points to; a dangling one still shows up, as a file.
        if (::fstatat(dir.Get(), name.c_str(), &st, 0) != 0 &&
            ::fstatat(dir.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;  // gone meanwhile
        DirEntry entry;
        entry.Kind = S_ISDIR(st.st_mode) ? 0 : 1;
        entry.Name = Utf8ToUtf16(name);
        entry.Size = entry.Kind == 0          ? 0
                     : st.st_size > INT32_MAX ? INT32_MAX
                                              : static_cast<int32_t>(st.st_size);
        entry.Modified = OleDateFromTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
        entries.push_back(std::move(entry));
    }
    const int readError = errno;
    ::closedir(stream);
    if (readError != 0)
        return u"Verzeichnis kann nicht gelesen werden: " + Display(rel);
    SortListing(entries);
    out = std::move(entries);
    return {};
}

namespace {

// Names a file in drive C: has only while a download writes it. Its writer
// holds an flock on it, which goes with the process: a name whose file can
// be locked was left by a killed writer.
constexpr std::string_view TempPrefix = ".velmora-";
constexpr std::string_view TempSuffix = ".part";

std::string NewTempName()
{
    static std::atomic<unsigned> counter{0};
    return std::string(TempPrefix) + std::to_string(::getpid()) + "-" + std::to_string(++counter) +
           std::string(TempSuffix);
}

void RemoveOrphans(int dir)
{
    const int listFd = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
    DIR *stream = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!stream) {
        if (listFd >= 0)
            ::close(listFd);
        return;
    }
    while (const dirent *item = ::readdir(stream)) {
        const std::string_view name = item->d_name;
        if (!name.starts_with(TempPrefix) || !name.ends_with(TempSuffix))
            continue;
        // Whoever can write here may put a FIFO or a link in a name's place
        // at any time: opened so that nothing blocks, and judged by what was
        // opened, and the name removed only while it is still that file.
        const UniqueFd file(
            ::openat(dir, item->d_name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
        struct stat opened
        {};
        struct stat named
        {};
        if (file && ::fstat(file.Get(), &opened) == 0 && S_ISREG(opened.st_mode) &&
            ::flock(file.Get(), LOCK_EX | LOCK_NB) == 0 &&
            ::fstatat(dir, item->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            named.st_dev == opened.st_dev && named.st_ino == opened.st_ino)
            ::unlinkat(dir, item->d_name, 0);
    }
    ::closedir(stream);
}

}  // namespace

PartialFile::~PartialFile()
{
    if (!m_committed && !m_tempName.empty())
        ::unlinkat(m_dir.Get(), m_tempName.c_str(), 0);
}

std::u16string PartialFile::Failure(int err) const
{
    switch (err) {
    case EACCES:
    case EPERM:
        return u"Zugriff verweigert: " + m_shown;
    case EROFS:
        return u"Datenträger ist schreibgeschützt: " + m_shown;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return u"Nicht genügend Speicherplatz auf dem Datenträger: " + m_shown;
    default:
        return u"Schreibfehler (Fehler " + DecimalText(err) + u"): " + m_shown;
    }
}

std::u16string PartialFile::Open(const LocalDrive &drive, const fs::path &rel,
                                 const std::string &name)
{
    m_shown = LocalDrive::Display(rel / name);
    std::u16string error;
    m_dir = drive.OpenDirectory(rel, error);
    if (!m_dir)
        return error;
    struct stat st
    {};
    const bool exists = ::fstatat(m_dir.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno == ENAMETOOLONG)
        return Failure(errno);  // now, not after the whole download
    if (exists && S_ISDIR(st.st_mode))
        return u"Zieldatei ist ein Verzeichnis: " + m_shown;
    // Replacing the link would not write outside, but a download must not even
    // seem to put a file where the link points: refused, like any way out.
    if (exists && S_ISLNK(st.st_mode) && drive.LeadsOutside(rel, name))
        return OutsideDrive + m_shown;

    RemoveOrphans(m_dir.Get());
    m_file = UniqueFd(::openat(m_dir.Get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (!m_file && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        std::string temp = NewTempName();
        m_file = UniqueFd(::openat(m_dir.Get(), temp.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
        if (m_file)
            m_tempName = std::move(temp);
    }
    if (!m_file)
        return Failure(errno);
    ::flock(m_file.Get(), LOCK_EX);  // this writer is alive
    m_name = name;
    return {};
}

std::u16string PartialFile::Write(const char *data, std::size_t size)
{
    auto error = WriteAt(m_appendAt, data, size);
    m_appendAt += size;
    // The disk starts on what has come while more comes, so the flush before
    // the file gets its name waits only for the last of it.
    if (error.empty() && m_appendAt - m_writtenBack >= WriteBackStep) {
        ::sync_file_range(m_file.Get(), static_cast<off_t>(m_writtenBack),
                          static_cast<off_t>(m_appendAt - m_writtenBack), SYNC_FILE_RANGE_WRITE);
        m_writtenBack = m_appendAt;
    }
    return error;
}

std::u16string PartialFile::Reserve(std::uint64_t size)
{
    if (size == 0)
        return {};
    // Its length grows with what is written, as without the reservation.
    if (::fallocate(m_file.Get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0) {
        m_reserved = size;
        return {};
    }
    // A file system without reservations does without; no room is an error.
    if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG)
        return Failure(errno);
    return {};
}

std::u16string PartialFile::WriteAt(std::uint64_t offset, const char *data, std::size_t size)
{
    m_end = std::max<std::uint64_t>(m_end, offset + size);
    while (size > 0) {
        const ssize_t written = ::pwrite(m_file.Get(), data, size, static_cast<off_t>(offset));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return Failure(errno);
        }
        data += written;
        size -= static_cast<std::size_t>(written);
        offset += static_cast<std::uint64_t>(written);
    }
    return {};
}

// Through /proc: linking the descriptor itself (AT_EMPTY_PATH) needs CAP_DAC_READ_SEARCH.
bool PartialFile::LinkAs(const std::string &name) const
{
    const std::string self = "/proc/self/fd/" + std::to_string(m_file.Get());
    return ::linkat(AT_FDCWD, self.c_str(), m_dir.Get(), name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

std::u16string PartialFile::Commit(double modifiedOle)
{
    // Gives back the blocks of a reservation larger than the file turned out.
    if (m_reserved > m_end && ::ftruncate(m_file.Get(), static_cast<off_t>(m_end)) != 0)
        return Failure(errno);
    // Flush before the file gets its name, so a crash never leaves a short file under it.
    if (::fsync(m_file.Get()) != 0)
        return Failure(errno);
    // Keep the server's date, as transfer programs do; a failure here is cosmetic.
    const timespec times[2] = {{0, UTIME_OMIT}, {TimeFromOleDate(modifiedOle), 0}};
    ::futimens(m_file.Get(), times);
    if (m_tempName.empty()) {
        if (LinkAs(m_name)) {
            m_committed = true;
        } else if (errno != EEXIST) {
            return Failure(errno);
        } else {
            // No call links an unnamed file over an existing one, and renaming the
            // old file away first would lose it to a kill. So the new file takes a
            // temp name for the rename; should the process die between the two,
            // that name is an orphan the next download into this folder removes.
            std::string temp = NewTempName();
            if (!LinkAs(temp))
                return Failure(errno);
            m_tempName = std::move(temp);
        }
    }
    if (!m_committed) {
        if (::renameat(m_dir.Get(), m_tempName.c_str(), m_dir.Get(), m_name.c_str()) != 0)
            return Failure(errno);
        m_committed = true;
    }
    ::fsync(m_dir.Get());
    return {};
}

}  // namespace velmora::engine
