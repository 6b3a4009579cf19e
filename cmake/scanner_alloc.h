/* Forced into the Python and Bash scanners, whose create and destroy call
 * calloc and free directly: routed through the runtime's allocator hook,
 * they belong to the parse's arena like every other allocation of a parse,
 * and a parse abandoned part-way leaves nothing behind. */
#include <stdlib.h>

extern void *(*ts_current_calloc)(size_t, size_t);
extern void (*ts_current_free)(void *);

#define calloc(count, size) ts_current_calloc(count, size)
#define free(pointer) ts_current_free(pointer)
