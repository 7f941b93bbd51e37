// Resource ids of the window's pictures: the PNG files of app/images, carried as raw data and made
// into icons when the window is created; and the program's own icon (winapp/CMakeLists.txt packs it).
#pragma once

#define QUENLO_RES_APP_ICON 1
#define QUENLO_RES_ICON32 101
#define QUENLO_RES_ICON48 102
#define QUENLO_RES_LAMP_GREEN 110
#define QUENLO_RES_LAMP_YELLOW 111
#define QUENLO_RES_LAMP_RED 112
#define QUENLO_RES_REFRESH 120
