#include "platform/Locale.h"

#include <langinfo.h>

namespace quenlo::platform {

namespace {

// nl_langinfo's texts belong to the C library and may change with the next call: copy them.
std::string LocaleFormat(nl_item item, const char* fallback)
{
    const char* format = nl_langinfo(item);
    return (format && *format) ? std::string(format) : std::string(fallback);
}

}  // namespace

std::string UserShortDateFormat() { return LocaleFormat(D_FMT, "%m/%d/%y"); }
std::string UserLongTimeFormat() { return LocaleFormat(T_FMT, "%H:%M:%S"); }

}  // namespace quenlo::platform
