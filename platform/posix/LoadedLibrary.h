// Libraries the program loads at first use instead of linking: a program that never needs them
// (a refresh without TLS, an entry without a kept password) pays neither their loading at start nor
// their memory.
#pragma once

#include <dlfcn.h>

namespace quenlo::platform {

// Points `out` at the entry `name` of a library from dlopen (or one it depends on); false when
// there is none.
template <typename Fn>
bool Bind(void* library, const char* name, Fn& out)
{
    out = reinterpret_cast<Fn>(::dlsym(library, name));
    return out != nullptr;
}

}  // namespace quenlo::platform
