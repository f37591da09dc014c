// The copy cancel flag is one for the whole process (a window's Cancel and
// an interrupt set it): a test program that links the disk library has its
// tests checked for leaving it as they found it. One of its sources
// includes this.
#pragma once

#include "disk/copy/copy_loop.h"
#include "support/test_support.h"

namespace test_support {

inline const bool kCopyCancelWatched = (WatchSharedFlag("disk::copy_cancel", disk::copy_cancel), true);

}  // namespace test_support
