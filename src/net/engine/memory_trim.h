#pragma once

// Gives the memory the allocator holds free back to the system, where the C library can (glibc's
// malloc_trim; elsewhere the allocator keeps what it keeps). After a burst of connections, or of
// large heads let go, glibc keeps the freed pages, and the process's resident size would stay at
// the burst's peak. Takes milliseconds on a large heap; any thread.
void giveFreeMemoryBack();
