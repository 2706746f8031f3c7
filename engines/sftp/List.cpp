// A directory listing: every name the server sends, within the limits,
// made safe to show; links shown as what they point to inside the base.

#include "ListingLimits.h"
#include "SafeText.h"
#include "SessionState.h"

#include <sys/stat.h>

namespace velmora::sftp {

namespace {

bool IsLink(const sftp_attributes attributes)
{
    if (attributes->flags & SSH_FILEXFER_ATTR_PERMISSIONS)
        return S_ISLNK(attributes->permissions);
    return attributes->type == SSH_FILEXFER_TYPE_SYMLINK;
}

}  // namespace

std::vector<RemoteEntry> Session::List(const std::string &directory, const std::string &base)
{
    State &state = *m_state;
    state.RequireOpen();
    const Busy busy(state.watchdog);
    state.Settle();
    const Waiting waiting(state.watchdog, Waits::List);  // also while the directory closes
    const DirPtr dir(sftp_opendir(state.sftp.get(), directory.c_str()));
    if (!dir)
        state.Fail("Verzeichnis " + directory + " nicht lesbar");
    std::vector<RemoteEntry> entries;
    std::vector<std::pair<std::size_t, std::string>> links;  // where, and the name as served
    engine::ListingLimits limits;
    for (;;) {
        const AttributesPtr attributes(sftp_readdir(state.sftp.get(), dir.get()));
        state.watchdog.Answered();
        if (!attributes) {
            if (sftp_dir_eof(dir.get()))
                break;
            state.Fail("Verzeichnis " + directory + " nicht lesbar");
        }
        const std::string name = attributes->name ? attributes->name : "";
        const bool dots = name.empty() || name == "." || name == "..";
        // An endless listing must not take all memory.
        if (const char *tooBig = limits.Count(name.size(), !dots))
            state.Abandon(tooBig);
        if (dots)
            continue;
        if (IsLink(attributes.get()))
            links.emplace_back(entries.size(), name);
        entries.push_back(FromAttributes(attributes.get(), engine::SafeText(name)));
        if (state.control().StopRequested())
            break;
    }
    state.ThrowIfStopped();
    const std::string prefix =
        directory.empty() || directory.back() == '/' ? directory : directory + "/";
    for (const auto &[index, name] : links) {
        // What the link points to, if that lies inside base; else the link as it is.
        const std::optional<std::string> real = state.Canonical(prefix + name);
        state.ThrowIfStopped();
        if (real && !engine::PathInside(*real, base))
            continue;
        const Waiting statting(state.watchdog, Waits::Stat);
        const AttributesPtr target(sftp_stat(state.sftp.get(), (prefix + name).c_str()));
        state.ThrowIfStopped();
        if (target) {
            entries[index] = FromAttributes(target.get(), entries[index].name);
        } else {
            state.ThrowIfBroken(ssh_get_error(state.ssh.get()));
            entries[index].size = 0;  // dangling: a file of size 0
        }
    }
    return entries;
}

}  // namespace velmora::sftp
