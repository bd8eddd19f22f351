#pragma once

// The C library's allocator gives threads that meet on its lock arenas of their own (up to eight per core),
// and each arena keeps what its threads freed. Both programs start a few threads for every run and stay open
// for a whole shift, so their resident size would creep up by an arena's worth now and then (a second arena
// alone was seen to add a megabyte over twenty runs of the window). Their few threads share one arena; called
// once at the start, before any thread.
void LimitHeapArenas();
