// How many malloc arenas the server's threads share.
#ifndef CAPECHO_SERVER_MALLOC_ARENAS_H
#define CAPECHO_SERVER_MALLOC_ARENAS_H

namespace capecho {

// glibc gives each thread that allocates an arena of its own, and each
// arena reserves 64 MiB of address space: with a dozen workers that is
// three quarters of a gigabyte, so under a limit on address space
// (ulimit -v) sessions were lost to memory that was never used. Sessions
// are held by what they use once all threads share one arena. Threads seldom
// wait for it: a parked session keeps its frames' buffer for the next park,
// and small blocks come from each thread's own cache. Call before any thread is started. False when
// malloc refused the setting (an allocator other than glibc's ignores it).
bool share_malloc_arenas();

}  // namespace capecho

#endif  // CAPECHO_SERVER_MALLOC_ARENAS_H
