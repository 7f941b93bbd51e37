// The user's date and time formats, as strftime formats.
//
// Linux takes the C library's locale (LC_TIME, as set by the program); Windows takes the user's
// short date and long time pictures and turns them into strftime formats of its C library.
#pragma once

#include <string>

namespace quenlo::platform {

// The short date format ("%m/%d/%y" when the locale gives none).
std::string UserShortDateFormat();
// The long time format ("%H:%M:%S" when the locale gives none).
std::string UserLongTimeFormat();

}  // namespace quenlo::platform
