// In-memory stream and storage objects: what the control's persistence is saved to and loaded
// from on this platform. A storage holds named streams; every stream opened from it shares the
// stream's bytes and has its own position. Nothing is written to disk.
#pragma once

#include "platform/com.h"

namespace platform {

// An empty stream, position 0, with one reference.
IStream* CreateMemoryStream();
// An empty storage with one reference.
IStorage* CreateMemoryStorage();

}  // namespace platform
