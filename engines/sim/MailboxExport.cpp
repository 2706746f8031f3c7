// velmora-sim-mailbox DIR: writes the simulated mailbox's drive C: into DIR,
// every file with the bytes a download from the mailbox gives and every entry
// with the mailbox's date, so a real server can serve the same tree.

#include "Content.h"
#include "ServerTree.h"
#include "Text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using velmora::sim::ServerNode;

bool Fail(const fs::path &path, int err)
{
    std::fprintf(stderr, "velmora-sim-mailbox: %s: %s\n", path.c_str(), std::strerror(err));
    return false;
}

// The mailbox's dates are local time, as the engines report them.
bool SetModified(const fs::path &path, double oleDate)
{
    const timespec times[2] = {{0, UTIME_OMIT}, {velmora::engine::TimeFromOleDate(oleDate), 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ||
           Fail(path, errno);
}

bool WriteFile(const fs::path &path, const ServerNode &node)
{
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0)
        return Fail(path, errno);
    velmora::sim::Content content(node.name);
    std::vector<char> block(64 * 1024);
    for (auto left = static_cast<std::size_t>(node.size); left > 0;) {
        const std::size_t count = std::min(left, block.size());
        content.Fill(block.data(), count);
        for (std::size_t done = 0; done < count;) {
            const ssize_t written = ::write(fd, block.data() + done, count - done);
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0) {
                const int err = errno;
                ::close(fd);
                return Fail(path, err);
            }
            done += static_cast<std::size_t>(written);
        }
        left -= count;
    }
    if (::close(fd) != 0)
        return Fail(path, errno);
    return SetModified(path, node.modified);
}

// Children first, so writing them does not move the directory's date again.
bool WriteChildren(const fs::path &dir, const ServerNode &node)
{
    for (const ServerNode &child : node.children) {
        const fs::path path = dir / velmora::engine::Utf16ToUtf8(child.name);
        if (!child.directory) {
            if (!WriteFile(path, child))
                return false;
            continue;
        }
        if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
            return Fail(path, errno);
        if (!WriteChildren(path, child) || !SetModified(path, child.modified))
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2 || argv[1][0] == '\0') {
        std::fprintf(stderr, "usage: velmora-sim-mailbox DIR\n");
        return 2;
    }
    const fs::path dir = argv[1];
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        Fail(dir, ec.value());
        return 1;
    }
    const auto &tree = velmora::sim::ServerTree::Get();
    return WriteChildren(dir, tree.Directory(velmora::sim::ServerPath{u'C', {}})) ? 0 : 1;
}
