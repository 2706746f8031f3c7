#pragma once

// The mailbox's file area: a fixed tree on drives C: and D:, as a DOS server
// of the time would present it (8.3 names, case-insensitive).

#include "TransferEngine.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::sim {

struct ServerNode
{
    std::u16string name;
    bool directory = false;
    int32_t size = 0;
    double modified = 0.0;
    std::vector<ServerNode> children;
};

// A directory on the server, names in the server's own spelling.
struct ServerPath
{
    char16_t drive = u'C';
    std::vector<std::u16string> dirs;
};

class ServerTree
{
public:
    static const ServerTree &Get();

    std::u16string Drives() const;                          // "C: D:"
    static std::u16string Display(const ServerPath &path);  // "C:\TOOLS\MORVANTE"

    // Resolves a directory argument against cwd. Returns the German error text,
    // empty on success (then out holds the new directory).
    std::u16string Resolve(const ServerPath &cwd, std::u16string_view request,
                           ServerPath &out) const;

    // path must have come from Resolve or be a drive root.
    const ServerNode &Directory(const ServerPath &path) const;
    const ServerNode *File(const ServerPath &dir, std::u16string_view name) const;
    std::vector<DirEntry> List(const ServerPath &path) const;

private:
    ServerTree();
    const ServerNode *Root(char16_t drive) const;

    std::vector<std::pair<char16_t, ServerNode>> m_drives;
};

}  // namespace velmora::sim
