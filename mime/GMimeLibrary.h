#pragma once

// Initialises GMime once per process, whichever thread asks first. Call it before any
// other GMime function.
void EnsureGMime();
