// The few libdispatch declarations kivo-ne-manager uses, for the Linux type check of its
// Objective-C++ file (Debian's GNUstep is built without libdispatch). Never linked or run.
#pragma once

#include <stdint.h>

typedef uint64_t dispatch_time_t;
typedef struct dispatch_queue_s* dispatch_queue_t;
typedef void (^dispatch_block_t)(void);
typedef unsigned int dispatch_qos_class_t;

#define DISPATCH_TIME_NOW (0ull)
#define NSEC_PER_MSEC 1000000ull
#define QOS_CLASS_DEFAULT 0x15

#ifdef __cplusplus
extern "C" {
#endif
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);
dispatch_queue_t dispatch_get_global_queue(long identifier, unsigned long flags);
void dispatch_after(dispatch_time_t when, dispatch_queue_t queue, dispatch_block_t block);
#ifdef __cplusplus
}
#endif
