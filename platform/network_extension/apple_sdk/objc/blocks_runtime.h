// Blocks runtime declarations that GNUstep's headers expect when the compiler has blocks;
// Debian's GNU Objective-C runtime does not ship them. Type check only, never linked.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif
void* _Block_copy(const void* block);
void _Block_release(const void* block);
#ifdef __cplusplus
}
#endif
#define Block_copy(x) ((__typeof(x))_Block_copy((const void*)(x)))
#define Block_release(x) _Block_release((const void*)(x))
