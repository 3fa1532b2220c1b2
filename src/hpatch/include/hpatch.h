// The patch engine's entry point, callable from C.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Rebuilds out_new from old and the patch diff (formats HDIFF13 and HDIFFSF20, streams
// stored raw, raw-deflate or zstd). old is a file or block device of which the first
// oldSize bytes are used; out_new is an existing block device (written from offset 0, the
// rest untouched) or a file created or replaced with exactly newSize bytes. cache_size
// bounds the buffers (at least 64 KiB is used); it never changes the result. Returns 0
// once new is on the medium, non-zero (with a logged reason) on any failure.
int hpatchz(const char* old, const char* diff, const char* out_new, size_t cache_size);

// Where hpatchz_out sends the new image instead of writing it itself. begin receives the
// opened and checked out_new descriptor before anything is produced; write receives the
// new image in order from offset 0, in pieces of any size (the piece may be reused once
// write returns); finish makes what was written durable. Each returns 0 to go on, or
// non-zero with errno set to the reason, which hpatchz_out logs as it would its own.
typedef struct hpatch_out {
  void* ctx;
  int (*begin)(void* ctx, int fd);
  int (*write)(void* ctx, const void* data, size_t len);
  int (*finish)(void* ctx);
} hpatch_out;

// hpatchz with the new image handed to out: the same checks, results and messages. out_new
// must be a block device here (a file would need cutting to size).
int hpatchz_out(const char* old, const char* diff, const char* out_new, size_t cache_size,
                const hpatch_out* out);

// The sizes a patch declares: the bytes of old it reads and the bytes of new it writes.
// Returns 0, or non-zero (with a logged reason) when diff is not a patch this engine
// applies.
int hpatch_sizes(const char* diff, unsigned long long* old_size, unsigned long long* new_size);

#ifdef __cplusplus
}
#endif
