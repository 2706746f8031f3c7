#include "ServerTree.h"

#include "DosPath.h"
#include "Text.h"

namespace velmora::sim {

using engine::DirectoryNotFound;
using engine::DosTarget;
using engine::EqualsNoCase;
using engine::OleDate;
using engine::ResolveDosPath;
using engine::SortListing;

namespace {

struct Stamp
{
    int year, month, day, hour, minute, second;
};

ServerNode DirNode(std::u16string name, Stamp t, std::vector<ServerNode> children)
{
    return {std::move(name), true, 0, OleDate(t.year, t.month, t.day, t.hour, t.minute, t.second),
            std::move(children)};
}

ServerNode FileNode(std::u16string name, int32_t size, Stamp t)
{
    return {std::move(name),
            false,
            size,
            OleDate(t.year, t.month, t.day, t.hour, t.minute, t.second),
            {}};
}

}  // namespace

ServerTree::ServerTree()
{
    // Sizes and dates stay fixed so demo runs and tests see the same mailbox.
    m_drives.emplace_back(
        u'C',
        DirNode(
            u"", {1994, 8, 2, 19, 20, 0},
            {
                DirNode(u"BBS", {1994, 8, 2, 19, 20, 14},
                        {
                            FileNode(u"REGELN.TXT", 5'732, {1995, 1, 7, 16, 5, 12}),
                            FileNode(u"NODELIST.TXT", 18'204, {1997, 4, 11, 3, 0, 0}),
                        }),
                DirNode(
                    u"DOWNLOAD", {1994, 8, 2, 19, 21, 3},
                    {
                        DirNode(u"NEU", {1997, 4, 2, 21, 33, 10},
                                {
                                    FileNode(u"FAXDRV23.ZIP", 61'447, {1997, 4, 2, 21, 33, 10}),
                                    FileNode(u"MODEMTST.ZIP", 14'902, {1997, 3, 28, 18, 2, 44}),
                                }),
                        DirNode(u"SPIELE", {1996, 11, 23, 14, 48, 36},
                                {
                                    FileNode(u"STERNFLG.ZIP", 288'660, {1996, 11, 23, 14, 48, 36}),
                                    FileNode(u"KNOBEL.ZIP", 37'215, {1995, 12, 20, 20, 11, 5}),
                                }),
                    }),
                DirNode(
                    u"TOOLS", {1995, 6, 12, 20, 15, 30},
                    {
                        DirNode(u"MORVANTE", {1997, 4, 18, 23, 15, 2},
                                {
                                    FileNode(u"TRANVIK7.EXE", 186'911, {1997, 4, 18, 23, 12, 40}),
                                    FileNode(u"TRANVIK7.TXT", 6'204, {1997, 4, 18, 23, 10, 2}),
                                    FileNode(u"MVSETUP.EXE", 41'872, {1997, 2, 3, 19, 44, 16}),
                                    FileNode(u"LIESMICH.TXT", 3'118, {1997, 1, 15, 22, 7, 31}),
                                    FileNode(u"FILE_ID.DIZ", 412, {1997, 4, 18, 23, 14, 55}),
                                }),
                        DirNode(u"PACKER", {1995, 9, 30, 17, 40, 0},
                                {
                                    FileNode(u"SHRINK20.ZIP", 28'716, {1995, 9, 30, 17, 42, 6}),
                                }),
                        FileNode(u"DISKEDIT.ZIP", 94'320, {1996, 5, 4, 11, 25, 50}),
                        FileNode(u"TOOLS.LST", 1'877, {1997, 4, 19, 3, 0, 8}),
                    }),
                DirNode(u"UPLOAD", {1994, 8, 2, 19, 21, 40}, {}),
                FileNode(u"WILLKOMM.TXT", 2'341, {1997, 4, 19, 8, 30, 0}),
                FileNode(u"FILES.BBS", 9'876, {1997, 4, 19, 3, 0, 12}),
                FileNode(u"NEWS.TXT", 4'410, {1997, 4, 17, 21, 55, 48}),
            }));
    m_drives.emplace_back(
        u'D',
        DirNode(
            u"", {1996, 10, 1, 12, 0, 0},
            {
                DirNode(u"ARCHIV", {1996, 10, 1, 12, 0, 0},
                        {
                            DirNode(u"1995", {1996, 1, 2, 10, 11, 12},
                                    {FileNode(u"JAHRGANG.ZIP", 512'004, {1996, 1, 2, 10, 11, 12})}),
                            DirNode(u"1996", {1997, 1, 3, 9, 45, 27},
                                    {FileNode(u"JAHRGANG.ZIP", 498'318, {1997, 1, 3, 9, 45, 27})}),
                        }),
                FileNode(u"INDEX.TXT", 31'770, {1996, 10, 1, 12, 0, 0}),
                FileNode(u"AUTORUN.INF", 64, {1996, 10, 1, 12, 0, 0}),
            }));
}

const ServerTree &ServerTree::Get()
{
    static const ServerTree tree;
    return tree;
}

std::u16string ServerTree::Drives() const
{
    std::u16string out;
    for (const auto &[letter, root] : m_drives) {
        if (!out.empty())
            out += u' ';
        out += letter;
        out += u':';
    }
    return out;
}

std::u16string ServerTree::Display(const ServerPath &path)
{
    std::u16string out{path.drive, u':', u'\\'};
    for (std::size_t i = 0; i < path.dirs.size(); ++i) {
        if (i > 0)
            out += u'\\';
        out += path.dirs[i];
    }
    return out;
}

const ServerNode *ServerTree::Root(char16_t drive) const
{
    for (const auto &[letter, root] : m_drives)
        if (letter == drive)
            return &root;
    return nullptr;
}

std::u16string ServerTree::Resolve(const ServerPath &cwd, std::u16string_view request,
                                   ServerPath &out) const
{
    std::u16string letters;
    for (const auto &[letter, root] : m_drives)
        letters += letter;
    DosTarget target;
    if (auto error = ResolveDosPath(request, cwd.drive, cwd.dirs.size(), letters, target);
        !error.empty())
        return error;
    ServerPath next{target.drive, cwd.dirs};
    next.dirs.resize(target.kept);
    for (const auto &name : target.names) {
        const ServerNode *child = nullptr;
        for (const auto &node : Directory(next).children)
            if (node.directory && EqualsNoCase(node.name, name))
                child = &node;
        if (!child)
            return DirectoryNotFound + std::u16string(request);
        next.dirs.push_back(child->name);
    }
    out = std::move(next);
    return {};
}

const ServerNode &ServerTree::Directory(const ServerPath &path) const
{
    const ServerNode *node = Root(path.drive);
    for (const auto &name : path.dirs)
        for (const auto &child : node->children)
            if (child.directory && child.name == name) {
                node = &child;
                break;
            }
    return *node;
}

const ServerNode *ServerTree::File(const ServerPath &dir, std::u16string_view name) const
{
    for (const auto &node : Directory(dir).children)
        if (!node.directory && EqualsNoCase(node.name, name))
            return &node;
    return nullptr;
}

std::vector<DirEntry> ServerTree::List(const ServerPath &path) const
{
    std::vector<DirEntry> out;
    for (const auto &node : Directory(path).children)
        out.push_back({node.directory ? 0 : 1, node.name, node.size, node.modified});
    SortListing(out);
    return out;
}

}  // namespace velmora::sim
