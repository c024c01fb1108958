#pragma once
// Whole-file replacement that never leaves a truncated file behind: the bytes
// go to a temporary file created exclusively beside the target, every write
// is checked, the file is fsync'd and renamed into place, and the directory
// is fsync'd. A kill at any moment leaves the old file or the new one.

#include <string>
#include <string_view>
#include <sys/types.h>

// A replaced file keeps its mode; a new file gets `newFileMode` (0644 for
// ordinary documents, 0600 for anything that holds a secret). Returns 0 or
// the errno of the failing step; on failure the target is untouched and the
// temporary file removed.
int WriteFileAtomic(const std::string& path, std::string_view bytes, mode_t newFileMode = 0644);

// Test seam: makes the n-th write() of WriteFileAtomic fail with `error`
// (n counts from 1 over the whole process; 0 turns the fault off).
void SetAtomicWriteFaultForTesting(int failingWrite, int error);
