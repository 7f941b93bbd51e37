// The user's date and time pictures ("M/d/yyyy", "h:mm:ss tt") as strftime formats of the Windows
// C library, whose "#" flag drops leading zeros.
#include "platform/Locale.h"

#include <windows.h>

namespace quenlo::platform {

namespace {

std::string LocalePicture(LCTYPE item)
{
    char text[128];
    const int n = ::GetLocaleInfoA(LOCALE_USER_DEFAULT, item, text, sizeof text);
    return n > 1 ? std::string(text, static_cast<std::size_t>(n - 1)) : std::string();
}

// The strftime form of a run of one picture letter, or empty when the run has none.
std::string Conversion(char letter, std::size_t run)
{
    switch (letter) {
    case 'd': return run == 1 ? "%#d" : run == 2 ? "%d" : run == 3 ? "%a" : "%A";
    case 'M': return run == 1 ? "%#m" : run == 2 ? "%m" : run == 3 ? "%b" : "%B";
    case 'y': return run <= 2 ? "%y" : "%Y";
    case 'H': return run == 1 ? "%#H" : "%H";
    case 'h': return run == 1 ? "%#I" : "%I";
    case 'm': return run == 1 ? "%#M" : "%M";
    case 's': return run == 1 ? "%#S" : "%S";
    case 't': return "%p";
    default: return {};
    }
}

std::string StrftimeOf(const std::string& picture)
{
    std::string out;
    for (std::size_t i = 0; i < picture.size();) {
        const char c = picture[i];
        if (c == '\'') {  // quoted literal text
            const std::size_t end = picture.find('\'', i + 1);
            const std::size_t stop = end == std::string::npos ? picture.size() : end;
            for (std::size_t k = i + 1; k < stop; ++k)
                out += picture[k] == '%' ? std::string("%%") : std::string(1, picture[k]);
            i = stop + 1;
            continue;
        }
        std::size_t run = 1;
        while (i + run < picture.size() && picture[i + run] == c)
            ++run;
        const std::string conversion = Conversion(c, run);
        if (!conversion.empty())
            out += conversion;
        else
            for (std::size_t k = 0; k < run; ++k)
                out += c == '%' ? std::string("%%") : std::string(1, c);
        i += run;
    }
    return out;
}

std::string FormatOr(LCTYPE item, const char* fallback)
{
    const std::string picture = LocalePicture(item);
    return picture.empty() ? std::string(fallback) : StrftimeOf(picture);
}

}  // namespace

std::string UserShortDateFormat() { return FormatOr(LOCALE_SSHORTDATE, "%m/%d/%y"); }
std::string UserLongTimeFormat() { return FormatOr(LOCALE_STIMEFORMAT, "%H:%M:%S"); }

}  // namespace quenlo::platform
