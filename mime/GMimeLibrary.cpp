#include "mime/GMimeLibrary.h"

#include <mutex>

#include <gmime/gmime.h>

void EnsureGMime() {
    static std::once_flag once;
    // Never shut down: requests may be decoding on other threads until the process ends.
    std::call_once(once, [] { g_mime_init(); });
}
