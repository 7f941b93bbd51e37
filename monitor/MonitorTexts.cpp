#include "monitor/MonitorTexts.h"

#include <cstdio>

namespace quenlo::texts {

const char* WhyHttpRefused(int httpStatus, bool hasUser)
{
    switch (httpStatus) {
    case 401: return hasUser ? kWhyHttp401WithUser : kWhyHttp401NoUser;
    case 403: return kWhyHttp403;
    case 426: return kWhyHttp426;
    default: return nullptr;
    }
}

const char* WhyIppRefused(std::uint16_t statusCode, int operation)
{
    if (statusCode == kIppStatusNotPossible) {
        switch (operation) {
        case kIppCupsMoveJob: return kWhyMoveNotPossible;
        case kIppRestartJob: return kWhyRestartNotPossible;
        case kIppSetJobAttributes: return kWhyPriorityNotPossible;
        default: break;
        }
    }
    switch (statusCode) {
    case kIppStatusForbidden: return kWhyForbidden;
    case kIppStatusNotAuthenticated: return kWhyNotAuthenticated;
    case kIppStatusNotAuthorized: return kWhyNotAuthorized;
    case kIppStatusNotPossible: return kWhyNotPossible;
    case kIppStatusNotFound: return kWhyNotFound;
    case kIppStatusOperationNotSupported: return kWhyOperationNotSupported;
    default: return nullptr;
    }
}

std::string IppFailureSuffix(const IppAnswerStatus& answer, int httpStatus)
{
    if (httpStatus != 200)  // no IPP answer at all: the HTTP status says it
        return kIppFailedPrefix + std::to_string(httpStatus) + ")";
    if (!answer.complete)
        return kIppFailedPrefix + std::to_string(httpStatus) + ") - " + kNotIppAnswer;
    char code[8];
    std::snprintf(code, sizeof code, "0x%04X", static_cast<unsigned>(answer.statusCode));
    std::string suffix = kIppFailedPrefix + std::string(code) + ")";
    if (!answer.statusMessage.empty())
        suffix += " - " + answer.statusMessage;
    return suffix;
}

std::string RefusalDetails(const IppAnswerStatus& answer, int operation)
{
    std::string details;
    if (!answer.statusMessage.empty())
        details += "\r" + answer.statusMessage;
    if (const char* why = WhyIppRefused(answer.statusCode, operation))
        details += std::string("\r") + why;
    return details;
}

std::string HttpRefusalDetails(int httpStatus, bool hasUser)
{
    const char* why = WhyHttpRefused(httpStatus, hasUser);
    return why == nullptr ? std::string() : std::string("\r") + why;
}

}  // namespace quenlo::texts
