// Giving back, while the window waits in the tray, the pages of files it has mapped for reading.
//
// Most of what a freshly started window holds in memory is its libraries' code and read-only data
// (and fonts and caches mapped for reading): touched once while it started and drew itself, then
// not again while it sits in the tray. Those pages stay in the system's file cache when they are
// given back; a page used again comes back by a minor fault, without reading the disk. Pages that
// hold the program's own data (heap, stacks, pages of a library written since it was mapped) are
// never touched here. What a minimised program's working set gets elsewhere, done once on the way
// into the tray.
#pragma once

#include <cstddef>

namespace quenlo::app {

// Gives back the resident pages of every file mapping that is not writable and holds no private
// page; returns how many bytes were resident in them. Does nothing (and returns 0) where the
// system offers no such thing.
std::size_t GiveBackFilePages();

}  // namespace quenlo::app
