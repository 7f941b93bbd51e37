// Which of the toolkit's platforms the window runs on, and what that platform lets it do.
#pragma once

#include <vector>

namespace quenlo::app {

// The toolkit's arguments after the program's name that choose its platform: XWayland ("-platform
// xcb") where a Wayland compositor also offers an X display and the user chose no platform
// (QT_QPA_PLATFORM), since only there can the window put itself at the corner and stay on top;
// none otherwise, and the toolkit picks as it always does.
std::vector<const char*> PlatformArguments();

// Whether the window may place itself on the desktop: not as a native Wayland client, whose
// compositor ignores a window's own placement.
bool PlacesItself();

}  // namespace quenlo::app
