// Refuses a build whose standard containers would not have the layout the client's do.
//
// Modules hand each other objects whose members are standard containers: the signals' slot
// lists, the dispatchers' tables, message buffers, the marker stores, a container's children.
// Inline code of one module then works on objects another module made. libstdc++'s debug mode
// (_GLIBCXX_DEBUG) gives those containers other members, so a plug-in or host built with it
// would read the client's objects with the wrong layout and crash far from the cause. Its
// assertions alone (_GLIBCXX_ASSERTIONS) keep the layouts and are fine.
#pragma once

#if defined(_GLIBCXX_DEBUG)
#error \
    "PyrMiniMap: _GLIBCXX_DEBUG changes the layout of the standard containers that modules share (signals, dispatchers, messages, marker stores); build without it (_GLIBCXX_ASSERTIONS checks without changing layouts)"
#endif
