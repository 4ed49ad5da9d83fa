#ifndef HEAP_H
#define HEAP_H

// Hands the free pages of the C library's heap back to the system. After a burst of
// connections has come and gone, the allocator otherwise keeps their memory for good: it only
// shrinks the heap from its top, and freed blocks lie scattered below live ones.
void heap_release_free();

#endif
