// How many subscriptions a server holds, asked through the program's own client so that the same
// count serves on Linux and under wine.
#pragma once

#include "ipp/Ipp.h"
#include "monitor/Monitor.h"
#include "net/HttpProt.h"

#include <sstream>
#include <string>

namespace quenlo {

// Whoever made them: the lab's open policy lists them all.
inline int SubscriptionsOnServer(const std::string& hostPort)
{
    constexpr int kGetSubscriptions = 0x0019;
    IppMessage request = BeginPrinterRequest(kGetSubscriptions, "ipp://" + hostPort + "/");
    request[1] = 1;
    AddStringAttribute(request, kIppTagNameWithoutLanguage, "requesting-user-name", "root");
    EndAttributes(request);
    THttpCli http;
    ApplyHttpCli1Design(http);
    std::istringstream send(std::string(request.begin(), request.end()));
    std::ostringstream reply;
    http.SetURL("http://" + hostPort + "/");
    http.SetPostStream(&send);
    http.SetReplyStream(&reply);
    http.Post();
    int count = 0;
    WalkResponse(reply.str(), kIppPrinterWalkDelimiterLimit,
                 [&count](const IppAttribute& a) { count += a.name == "notify-subscription-id" ? 1 : 0; }, {});
    return count;
}

}  // namespace quenlo
