// A download: the file opened and its size taken, then read through the
// pipeline (ReadPipeline.h), closed on every way out.

#include "SessionState.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace velmora::sftp {

uint64_t Session::Download(const std::string &path, const Sink &sink, const Progress &progress,
                           const std::string &name)
{
    State &state = *m_state;
    state.RequireOpen();
    const Busy busy(state.watchdog);
    state.Settle();
    const std::string shown = name.empty() ? engine::LastPart(path) : name;
    const Waiting closing(state.watchdog, Waits::Close);  // the file closes on every way out
    FilePtr file;
    uint64_t size = 0;
    {
        const Waiting opening(state.watchdog, Waits::Open);
        file.reset(sftp_open(state.sftp.get(), path.c_str(), O_RDONLY, 0));
        if (!file)
            state.Fail("Datei " + path + " nicht lesbar");
    }
    {
        const Waiting statting(state.watchdog, Waits::Stat);
        const AttributesPtr attributes(sftp_fstat(file.get()));
        if (!attributes)
            state.Fail("Datei " + path + " nicht lesbar");
        if (attributes->flags & SSH_FILEXFER_ATTR_PERMISSIONS && S_ISDIR(attributes->permissions))
            throw Error(Failure::Remote, path + " ist ein Verzeichnis.");
        if (!(attributes->flags & SSH_FILEXFER_ATTR_SIZE))
            throw Error(Failure::Remote,
                        "Datei " + shown + " nicht lesbar: der Server nennt ihre Größe nicht.");
        size = attributes->size;
    }

    auto pipeline = std::make_unique<ReadPipeline>(
        state.sftp.get(), file->handle, shown,
        ReadPipeline::Hooks{[&state] { state.ThrowIfStopped(); },
                            [&state] { state.WaitSocket(Clock::now() + PollSlice); },
                            [&state] { state.watchdog.Answered(); },
                            [&state, shown] { state.Fail("Lesen von " + shown + " gescheitert"); }},
        ReadSize, ReadsInFlight);
    uint64_t done = 0;
    {
        const Waiting reading(state.watchdog, Waits::Read);
        try {
            done = pipeline->Read(size, sink, progress);
        } catch (const Error &e) {
            // Answers to our requests must never reach libssh. After a stop they
            // are collected, and the file closed, before the next request: an
            // abort does not wait for the server. Else they are collected now,
            // or the connection goes.
            if (e.failure() == Failure::Stopped && !state.Lost()) {
                state.unfinished = std::move(pipeline);
                state.unfinishedFile = std::move(file);
            } else {
                bool drained = false;
                try {
                    drained = e.failure() != Failure::ConnectionLost && !state.Lost() &&
                              pipeline->Drain(Clock::now() + state.watchdog.RequestTimeout());
                } catch (const Error &) {
                }
                if (!drained)
                    state.Drop();
            }
            throw;
        }
    }
    state.ThrowIfStopped();
    if (sftp_close(file.release()) != 0)
        state.Fail("Schließen von " + path + " gescheitert");
    return done;
}

}  // namespace velmora::sftp
