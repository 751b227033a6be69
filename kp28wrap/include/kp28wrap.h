/*
 * kp28wrap: USB transport for KP28 and KP28Plus printers.
 *
 * A plain C interface: ten functions, each returning 0 for success or one of
 * the KP28WRAP_E_* codes below. The last failure is kept process-wide (a later
 * success does not clear it, except Kp28wrap_ioctl which always records its
 * result) and can be read with Kp28wrap_geterrno.
 *
 * Buffers always belong to the caller. The only memory the library hands out
 * is the array of device-path addresses from Kp28wrap_list, valid until the
 * next refresh or until the library is unloaded.
 *
 * Behaviour is chosen by environment variables: KP28WRAP_MODE, KP28_SYSROOT,
 * ALL_PRINTERS_GOOD, CHUNK_SIZE, WLOGERR, WLOGMODE, WLOGFILE, WLOGSIZE and
 * KP28WRAP_DEBUG_OUT (see README.md).
 */
#ifndef KP28WRAP_H
#define KP28WRAP_H

#include <stdint.h>

#if defined(KP28WRAP_BUILDING)
#define KP28WRAP_API __attribute__((visibility("default")))
#else
#define KP28WRAP_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Handle of one connection. */
typedef uint32_t KP28_DOOR;

#define KP28_INVALID_DOOR ((KP28_DOOR)0xBAD0BAD0u)
#define KP28_MAX_PRINTERS 16

#define KP28WRAP_OK 0x000                 /* "no error" */
#define KP28WRAP_E_UNIMPLEMENTED 0x001    /* "unimplemented function" */
#define KP28WRAP_E_INVALID_PARAM 0x101    /* "invalid parameter value" */
#define KP28WRAP_E_INVALID_INDEX 0x200    /* "invalid printer index" */
#define KP28WRAP_E_NO_DOORS 0x201         /* "cannot allocate more DOORs" */
#define KP28WRAP_E_ALREADY_OPENED 0x202   /* "printer(s) already opened" */
#define KP28WRAP_E_INVALID_DOOR 0x203     /* "invalid DOOR value" */
#define KP28WRAP_E_OPEN 0x204             /* "error opening device" */
#define KP28WRAP_E_READ 0x205             /* "error reading from device" */
#define KP28WRAP_E_WRITE 0x206            /* "error writing to device" */
#define KP28WRAP_E_TIMEOUT 0x207          /* "io timeout" */
#define KP28WRAP_E_NO_MEMORY 0x208        /* "cannot allocate memory" */
#define KP28WRAP_E_IOCTL 0x209            /* device control failed ("unknown error") */
#define KP28WRAP_E_CLOSE 0x400            /* "error closing handle to printer" */
#define KP28WRAP_E_NO_PRINTERS 0x401      /* "no printers found" */
#define KP28WRAP_E_BUFFER_TOO_SMALL 0x402 /* "buffer is too small to keep complete data" */

/* Kp28wrap_ioctl codes. */
#define KP28WRAP_IOCTL_CANCEL_ON_TIMEOUT 1 /* value != 0: cancel a write that runs out of time */
#define KP28WRAP_IOCTL_AUTO_REFRESH \
    2 /* value != 0: refresh the list before a connect after a failure */
#define KP28WRAP_IOCTL_SOFT_RESET 4  /* printer class soft reset */
#define KP28WRAP_IOCTL_PORT_STATUS 8 /* printer class port status, up to 128 bytes into out */

/* Always 0; start-up happens when the library is loaded. */
KP28WRAP_API int32_t Kp28wrap_initialization(void);
/* Always 0; clean-up happens when the library is unloaded. */
KP28WRAP_API int32_t Kp28wrap_finalization(void);
/* capacity: in, room in paths; out, entries given. paths[i] points into the library. */
KP28WRAP_API int32_t Kp28wrap_list(int* capacity, const char** paths);
/* Re-runs discovery; refused with KP28WRAP_E_ALREADY_OPENED while any DOOR is open. */
KP28WRAP_API int32_t Kp28wrap_refreshlist(void);
/* Opens printer `printer` (0-based); *door receives the DOOR or KP28_INVALID_DOOR. */
KP28WRAP_API int32_t Kp28wrap_connect(KP28_DOOR* door, int printer);
/* Closes the connection; on success *door becomes KP28_INVALID_DOOR. */
KP28WRAP_API int32_t Kp28wrap_disconnect(KP28_DOOR* door);
/* timeout_ms = -1 waits without limit. */
KP28WRAP_API int32_t Kp28wrap_read(KP28_DOOR door, void* buffer, unsigned length, unsigned* count,
                                   int timeout_ms);
KP28WRAP_API int32_t Kp28wrap_write(KP28_DOOR door, const void* buffer, unsigned length,
                                    unsigned* count, int timeout_ms);
KP28WRAP_API int32_t Kp28wrap_ioctl(KP28_DOOR door, int code, int value, void* out);
/* Returns the last error code; copies its message into buffer (size-1 chars + NUL). */
KP28WRAP_API int32_t Kp28wrap_geterrno(char* buffer, int size);

#ifdef __cplusplus
}
#endif

#endif /* KP28WRAP_H */
