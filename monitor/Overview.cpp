#include "monitor/Overview.h"

#include "monitor/Watcher.h"
#include "net/HttpUrl.h"

namespace quenlo {

std::string ServerText(const TAList& entry)
{
    const TUrlParts server = SplitUrl(entry.remotehost, TUrlStart::Host);
    return server.Host + ":" + (server.Port.empty() ? std::string("80") : server.Port);
}

std::string LineText(const WatchState& state)
{
    const std::string line = WatchLine(state, "");
    return line.starts_with(" - ") ? line.substr(3) : line;
}

void StartOneLook(TWatcher& watcher)
{
    watcher.PollOnly();
    watcher.LimitServersAtOnce(kServersAtOnce);
    watcher.Start();
    watcher.Stop();
}

}  // namespace quenlo
