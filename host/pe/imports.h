// What the host hands the NT image for its imports, and the host's names
// for image code.
#pragma once

#include <string>

namespace tolvanex::host::pe {

class Image;

// The host routine the image gets for `dll`!`routine` (DLL names compare
// without case, as NT's loader does), or null when the host has none.
const void *host_routine(const std::string &dll, const std::string &routine);

// Reports name image routines from `image`'s symbols; null stops that.
void set_image_symbols(const Image *image);

// Drops the image routines the host was given (threads, timers, handlers).
void forget_callbacks();

} // namespace tolvanex::host::pe
