/*
 * The plugin interface of the recording server's core.
 *
 * A plugin is a shared library that exports up to eight entry points under
 * the plain names "Load", "Unload", "Open", "Close", "Read", "Write", "Seek"
 * and "IOCTL". This header is all a plugin author needs, from C or C++.
 *
 * Conventions:
 *  1. Every entry returns a signed 32-bit result: 0 is success, anything else
 *     a failure. Output records with an Error field count a non-zero Error as
 *     a failure too.
 *  2. Every record opens with the 32-bit words Size and Version. The core
 *     fills both records of a call, zeroes the rest unless said otherwise,
 *     and never checks what a plugin writes back into Size or Version.
 *  3. Records passed to an entry belong to the caller and live for the call
 *     only: copy what you need later.
 *  4. Data buffers change owner only through malloc and free of the one
 *     process heap.
 *  5. Pointers in records may be null where a comment says so; lengths are
 *     then 0.
 *
 * Threads (an entry may run on several threads at once):
 *  - Load, Open, Close, Unload: the core's main thread, once each.
 *  - Write, IOCTL code UPDATE_CONFIG: the main thread's delivery loop.
 *  - IOCTL code IPC_PACKET: the core's I/O thread.
 *  - IOCTL code WORKER_THREAD: the plugin's own worker thread, once.
 *  - Read: the plugin's reader thread, once, and one job thread per job.
 *  - FlatPluginEvent may be called from any thread, also from inside Write
 *    and IOCTL.
 *
 * Layouts are natural C layouts; the sizes and offsets checked at the end of
 * this file are those of the 32-bit ARM device.
 */
#ifndef DVRPLUGIN_H
#define DVRPLUGIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Version ------------------------------------------------------------ */

/* The version of the package this header belongs to (dvrplugin-config-version
 * and dvrplugin.pc carry the same). Check it at compile time, for example
 *   #if !defined(DVRPLUGIN_VERSION_MAJOR) || DVRPLUGIN_VERSION_MAJOR != 19
 *   #error "written for the plugin interface of version 19"
 *   #endif
 * The build of the core refuses a header whose numbers differ from its own. */
#define DVRPLUGIN_VERSION_MAJOR 19
#define DVRPLUGIN_VERSION_MINOR 9
#define DVRPLUGIN_VERSION_PATCH 4
#define DVRPLUGIN_VERSION_STRING "19.09.4.0"

/* ---- Identifiers and constants ---------------------------------------- */

/* The core's own identifier: Source of its events, holder of buffers. */
#define CORE_SOURCE 0x80000000u

/* EventClass: bits 0-7 select masks 0-7, bit 10 selects mask 8. */
#define CLASS_STATUS        0x00000004u /* the core's "Memory" status document */
#define CLASS_LOG           0x00000040u /* log events (with TYPE_LOG_TEXT) */
#define CLASS_CONFIG        0x00000100u /* configuration documents: IOCTL UPDATE_CONFIG */
#define CLASS_MASK8         0x00000400u /* selects mask 8 */
/* Commands, compared as whole values. */
#define CLASS_RELEASE       0x00000200u /* Source gives up its hold on Data */
#define CLASS_CANCEL_JOB    0x00001000u /* with Source 0: cancel job JobTag */
#define CLASS_TO_SUPERVISOR 0x00002000u /* send Data to the supervisor */
/* Any other EventClass with Source 0 starts job JobTag. */
#define JOB_CONTROL_SOURCE  0u

/* EventType bits the core uses; all others belong to the plugins. */
#define TYPE_LOG_TEXT  0x00000002u
#define TYPE_DOCUMENT  0x00000010u
#define TYPE_FROM_CORE 0x01000000u /* set on every event the core raises */

/* Result of an event (_EventParmsOut.Result). */
#define EVENT_OK         0
#define EVENT_REFUSED    1  /* stopping, link closed, job cancelled or not a job thread */
#define EVENT_THROTTLED  5  /* memory throttling is active */
#define EVENT_NO_MEMORY  (-1) /* the core could not copy the data */

/* Log levels the core uses; larger is more severe. */
#define LOG_LEVEL_DIAGNOSTIC 0u   /* console only, never delivered to plugins */
#define LOG_LEVEL_INFO       25u
#define LOG_LEVEL_WARNING    50u
#define LOG_LEVEL_ERROR      100u /* also copied to the system log */

/* IOCTL request codes. */
#define WORKER_THREAD 1 /* on the plugin's worker thread, no data */
#define UPDATE_CONFIG 2 /* a configuration document, Data is its text */
#define IPC_PACKET    4 /* a supervisor packet, Data is the whole packet */

/* Supervisor packet types. */
#define IPC_IDENTITY 7
#define IPC_STOP     8
#define IPC_MAX_PACKET_LENGTH 65536u

/* Entry point names, for dlsym and for plugin authors' exports. */
#define ENTRY_LOAD   "Load"
#define ENTRY_UNLOAD "Unload"
#define ENTRY_OPEN   "Open"
#define ENTRY_CLOSE  "Close"
#define ENTRY_READ   "Read"
#define ENTRY_WRITE  "Write"
#define ENTRY_SEEK   "Seek"
#define ENTRY_IOCTL  "IOCTL"

/* ---- Events ------------------------------------------------------------ */

#define EVENT_PARAMS_WORDS 38 /* 152 bytes */
#define EVENT_PARAM_LEVEL   2 /* Params[2], 8 bytes into Params: a log event's level */

/* What a party raises through FlatPluginEvent. For ordinary events the core
 * copies Data; the raiser keeps its buffer. For CLASS_TO_SUPERVISOR the core
 * takes over Data (malloc'd by the raiser, never touched by it again). For
 * CLASS_RELEASE, Data is a buffer the core delivered to the raiser. */
typedef struct _EventParmsIn {
    uint32_t Size;       /* sizeof(struct _EventParmsIn) */
    uint32_t Version;    /* 1 */
    uint32_t DataLength; /* bytes at Data; a log text counts its NUL */
    void *Data;          /* may be null */
    uint32_t Source;     /* raiser's ID, CORE_SOURCE, or 0 for job control */
    uint32_t JobTag;     /* 0: no job */
    uint32_t EventClass;
    uint32_t EventType;
    uint32_t Params[EVENT_PARAMS_WORDS]; /* copied unchanged to receivers */
} _EventParmsIn;

typedef struct _EventParmsOut {
    uint32_t Size;    /* 12 */
    uint32_t Version; /* 1 */
    int32_t Result;   /* EVENT_OK, EVENT_REFUSED, EVENT_THROTTLED, EVENT_NO_MEMORY */
} _EventParmsOut;

/* FlatPluginEvent, exported by the core; plugins get its address at Load. */
typedef int32_t (*EventEntryPoint)(_EventParmsIn *In, _EventParmsOut *Out);

/* ---- Load -------------------------------------------------------------- */

#define LOAD_PARMS_IN_VERSION 3
typedef struct _LoadParmsIn {
    uint32_t Size;
    uint32_t Version;           /* 3 */
    void *Core;                 /* the core object, handed over unchanged */
    EventEntryPoint EventEntry; /* FlatPluginEvent */
} _LoadParmsIn;

#define EVENT_MASK_COUNT 9
/* The plugin's self-description; the core zeroes it before Load. */
typedef struct _LoadParmsOut {
    uint32_t Size;
    uint32_t Version;   /* 1 */
    uint32_t ID;        /* bits 16-27 address the plugin from the supervisor */
    uint32_t EventMasks[EVENT_MASK_COUNT]; /* mask 5 is also the closing order key */
    uint32_t Reserved48;
    uint8_t WorkerThread; /* non-zero: IOCTL WORKER_THREAD on a thread of its own */
    uint8_t Reserved53;
    uint8_t ReadEvents;   /* non-zero: Read on a reader thread and on job threads */
    uint8_t WriteEvents;  /* non-zero: matching events reach Write */
    uint32_t Reserved56;
    int32_t Error;        /* non-zero fails the load */
} _LoadParmsOut;

/* ---- Open, Close, Unload ----------------------------------------------- */

typedef struct _OpenParmsIn {
    uint32_t Size;
    uint32_t Version; /* 1 */
    uint32_t Reserved[3];
} _OpenParmsIn;

typedef struct _OpenParmsOut {
    uint32_t Size;
    uint32_t Version; /* 1 */
    uint32_t Reserved[2];
} _OpenParmsOut;

typedef struct _CloseParmsIn {
    uint32_t Size;
    uint32_t Version; /* 1 */
    uint32_t Reserved;
} _CloseParmsIn;

typedef struct _CloseParmsOut {
    uint32_t Size;
    uint32_t Version; /* 1 */
    int32_t Error;
} _CloseParmsOut;

typedef struct _UnloadParmsIn {
    uint32_t Size;
    uint32_t Version; /* 1 */
} _UnloadParmsIn;

typedef struct _UnloadParmsOut {
    uint32_t Size;
    uint32_t Version; /* 1 */
    int32_t Error;
} _UnloadParmsOut;

/* ---- IOCTL ------------------------------------------------------------- */

typedef struct _DataBlock {
    uint32_t Size;       /* sizeof(struct _DataBlock) with data, 8 without */
    uint32_t Version;    /* 1 */
    uint32_t DataLength;
    void *Data;          /* owned by the core; valid for the call only unless
                            Retained is set for an UPDATE_CONFIG delivery */
} _DataBlock;

typedef struct _BlockHeader {
    uint32_t Size;    /* 8 */
    uint32_t Version; /* 1 */
} _BlockHeader;

typedef struct _IoctlParmsIn {
    uint32_t Size;
    uint32_t Version; /* 1 */
    uint32_t Code;    /* WORKER_THREAD, UPDATE_CONFIG or IPC_PACKET */
    _DataBlock DataBlock;
} _IoctlParmsIn;

typedef struct _IoctlParmsOut {
    uint32_t Size;
    uint32_t Version;  /* 1 */
    uint32_t Code;     /* preset to the request code */
    int32_t Error;
    uint32_t Retained; /* UPDATE_CONFIG: non-zero keeps the buffer until released */
    _BlockHeader Block;
} _IoctlParmsOut;

/* ---- Read -------------------------------------------------------------- */

typedef struct _ReadParmsIn {
    uint32_t Size;
    uint32_t Version;  /* 1 */
    uint32_t Reserved8;
    uint8_t Flag12;    /* 1 */
    uint8_t Reserved13[3];
    uint32_t DataLength; /* a job's data length as raised; 0 for the reader */
    void *Data;          /* a job's private copy (freed by the core after Read), or null */
    uint32_t JobTag;     /* a job's tag; 0 for the reader */
} _ReadParmsIn;

typedef struct _ReadParmsOut {
    uint32_t Size;
    uint32_t Version; /* 1 */
    uint32_t Reserved[3];
} _ReadParmsOut;

/* ---- Write ------------------------------------------------------------- */

/* A 16-byte head followed by the event from its DataLength field on. */
typedef struct _WriteParmsIn {
    uint32_t Size;
    uint32_t Version; /* 1 */
    uint32_t Reserved8;
    uint8_t Flag12;   /* 0 */
    uint8_t Reserved13[3];
    uint32_t DataLength;
    void *Data;       /* the core's copy; valid for the call only unless Retained */
    uint32_t Source;
    uint32_t JobTag;
    uint32_t EventClass;
    uint32_t EventType; /* as raised */
    uint32_t Params[EVENT_PARAMS_WORDS];
} _WriteParmsIn;

typedef struct _WriteParmsOut {
    uint32_t Size;
    uint32_t Version; /* 1 */
    uint32_t Reserved[2];
    int32_t Error;
    uint32_t Retained; /* non-zero: the plugin keeps Data and later raises
                          CLASS_RELEASE for it */
} _WriteParmsOut;

/* ---- Supervisor packets ------------------------------------------------ */

/* Header of every packet from the supervisor; little-endian words. */
typedef struct IpcHeader {
    uint32_t PacketLength; /* header included, at most IPC_MAX_PACKET_LENGTH */
    uint32_t Address;      /* bits 20-31 name a plugin by its ID bits 16-27 */
    uint32_t PacketType;   /* IPC_IDENTITY, IPC_STOP, or forwarded to the plugin */
    uint32_t Reserved;
} IpcHeader;

/* ---- Entry points ------------------------------------------------------ */

typedef int32_t (*LoadEntryPoint)(_LoadParmsIn *In, _LoadParmsOut *Out);
typedef int32_t (*UnloadEntryPoint)(_UnloadParmsIn *In, _UnloadParmsOut *Out);
typedef int32_t (*OpenEntryPoint)(_OpenParmsIn *In, _OpenParmsOut *Out);
typedef int32_t (*CloseEntryPoint)(_CloseParmsIn *In, _CloseParmsOut *Out);
typedef int32_t (*ReadEntryPoint)(_ReadParmsIn *In, _ReadParmsOut *Out);
typedef int32_t (*WriteEntryPoint)(_WriteParmsIn *In, _WriteParmsOut *Out);
/* Seek is resolved but never called; it has no records. */
typedef int32_t (*SeekEntryPoint)(void *In, void *Out);
typedef int32_t (*IoctlEntryPoint)(_IoctlParmsIn *In, _IoctlParmsOut *Out);

/* Exported by the core executable. */
int32_t FlatPluginEvent(_EventParmsIn *In, _EventParmsOut *Out);

/* The eight entry points, declared here when a plugin source asks for it:
 *
 *   #define DVRPLUGIN_DECLARE_ENTRY_POINTS
 *   #include "dvrplugin.h"
 *
 * They are then declared inside this header's extern "C" block, so that a
 * C++ definition such as "int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out)"
 * takes the plain name the core looks up instead of a C++ one, and a C
 * definition whose records differ from these does not compile. They are
 * also exported when the plugin is built with hidden visibility. Off by
 * default, so that a source that declares an entry in a form of its own
 * still compiles unchanged. Define only the entries you need. */
#ifdef DVRPLUGIN_DECLARE_ENTRY_POINTS
#if defined(__GNUC__)
#define DVRPLUGIN_ENTRY __attribute__((visibility("default")))
#else
#define DVRPLUGIN_ENTRY
#endif
DVRPLUGIN_ENTRY int32_t Load(_LoadParmsIn *In, _LoadParmsOut *Out);
DVRPLUGIN_ENTRY int32_t Unload(_UnloadParmsIn *In, _UnloadParmsOut *Out);
DVRPLUGIN_ENTRY int32_t Open(_OpenParmsIn *In, _OpenParmsOut *Out);
DVRPLUGIN_ENTRY int32_t Close(_CloseParmsIn *In, _CloseParmsOut *Out);
DVRPLUGIN_ENTRY int32_t Read(_ReadParmsIn *In, _ReadParmsOut *Out);
DVRPLUGIN_ENTRY int32_t Write(_WriteParmsIn *In, _WriteParmsOut *Out);
DVRPLUGIN_ENTRY int32_t Seek(void *In, void *Out);
DVRPLUGIN_ENTRY int32_t IOCTL(_IoctlParmsIn *In, _IoctlParmsOut *Out);
#endif

/* ---- Layout checks ----------------------------------------------------- */

#ifdef __cplusplus
#define DVRPLUGIN_STATIC_ASSERT(cond, what) static_assert(cond, what)
#else
#define DVRPLUGIN_STATIC_ASSERT(cond, what) _Static_assert(cond, what)
#endif
#define DVRPLUGIN_OFFSET(type, field, at) \
    DVRPLUGIN_STATIC_ASSERT(offsetof(type, field) == (at), #type "." #field " offset")
#define DVRPLUGIN_SIZE(type, size) \
    DVRPLUGIN_STATIC_ASSERT(sizeof(type) == (size), #type " size")

/* Records without pointers have one layout everywhere. */
DVRPLUGIN_SIZE(_EventParmsOut, 12);
DVRPLUGIN_SIZE(_LoadParmsOut, 64);
DVRPLUGIN_OFFSET(_LoadParmsOut, ID, 8);
DVRPLUGIN_OFFSET(_LoadParmsOut, EventMasks, 12);
DVRPLUGIN_OFFSET(_LoadParmsOut, WorkerThread, 52);
DVRPLUGIN_OFFSET(_LoadParmsOut, ReadEvents, 54);
DVRPLUGIN_OFFSET(_LoadParmsOut, WriteEvents, 55);
DVRPLUGIN_OFFSET(_LoadParmsOut, Error, 60);
DVRPLUGIN_SIZE(_OpenParmsIn, 20);
DVRPLUGIN_SIZE(_OpenParmsOut, 16);
DVRPLUGIN_SIZE(_CloseParmsIn, 12);
DVRPLUGIN_SIZE(_CloseParmsOut, 12);
DVRPLUGIN_OFFSET(_CloseParmsOut, Error, 8);
DVRPLUGIN_SIZE(_UnloadParmsIn, 8);
DVRPLUGIN_SIZE(_UnloadParmsOut, 12);
DVRPLUGIN_OFFSET(_UnloadParmsOut, Error, 8);
DVRPLUGIN_SIZE(_IoctlParmsOut, 28);
DVRPLUGIN_OFFSET(_IoctlParmsOut, Error, 12);
DVRPLUGIN_OFFSET(_IoctlParmsOut, Retained, 16);
DVRPLUGIN_OFFSET(_IoctlParmsOut, Block, 20);
DVRPLUGIN_SIZE(_ReadParmsOut, 20);
DVRPLUGIN_SIZE(_WriteParmsOut, 24);
DVRPLUGIN_OFFSET(_WriteParmsOut, Error, 16);
DVRPLUGIN_OFFSET(_WriteParmsOut, Retained, 20);
DVRPLUGIN_SIZE(IpcHeader, 16);

/* The log level is 8 bytes into Params on every platform. */
DVRPLUGIN_STATIC_ASSERT(EVENT_PARAM_LEVEL * 4 == 8, "Level is 8 bytes into Params");
DVRPLUGIN_SIZE(((_EventParmsIn *)0)->Params, 152);

#if UINTPTR_MAX == 0xFFFFFFFFu
/* The device: 4-byte pointers. */
DVRPLUGIN_SIZE(_EventParmsIn, 184);
DVRPLUGIN_OFFSET(_EventParmsIn, DataLength, 8);
DVRPLUGIN_OFFSET(_EventParmsIn, Data, 12);
DVRPLUGIN_OFFSET(_EventParmsIn, Source, 16);
DVRPLUGIN_OFFSET(_EventParmsIn, JobTag, 20);
DVRPLUGIN_OFFSET(_EventParmsIn, EventClass, 24);
DVRPLUGIN_OFFSET(_EventParmsIn, EventType, 28);
DVRPLUGIN_OFFSET(_EventParmsIn, Params, 32);
DVRPLUGIN_OFFSET(_EventParmsIn, Params[EVENT_PARAM_LEVEL], 40);
DVRPLUGIN_SIZE(_LoadParmsIn, 16);
DVRPLUGIN_SIZE(_IoctlParmsIn, 28);
DVRPLUGIN_OFFSET(_IoctlParmsIn, DataBlock, 12);
DVRPLUGIN_SIZE(_DataBlock, 16);
DVRPLUGIN_SIZE(_ReadParmsIn, 28);
DVRPLUGIN_OFFSET(_ReadParmsIn, Flag12, 12);
DVRPLUGIN_OFFSET(_ReadParmsIn, DataLength, 16);
DVRPLUGIN_OFFSET(_ReadParmsIn, Data, 20);
DVRPLUGIN_OFFSET(_ReadParmsIn, JobTag, 24);
DVRPLUGIN_SIZE(_WriteParmsIn, 192);
DVRPLUGIN_OFFSET(_WriteParmsIn, Flag12, 12);
DVRPLUGIN_OFFSET(_WriteParmsIn, DataLength, 16);
DVRPLUGIN_OFFSET(_WriteParmsIn, Data, 20);
DVRPLUGIN_OFFSET(_WriteParmsIn, Source, 24);
DVRPLUGIN_OFFSET(_WriteParmsIn, JobTag, 28);
DVRPLUGIN_OFFSET(_WriteParmsIn, EventClass, 32);
DVRPLUGIN_OFFSET(_WriteParmsIn, EventType, 36);
DVRPLUGIN_OFFSET(_WriteParmsIn, Params, 40);
#else
/* 8-byte pointers: the natural layout, each pointer aligned to 8. */
DVRPLUGIN_SIZE(_EventParmsIn, 192);
DVRPLUGIN_OFFSET(_EventParmsIn, Data, 16);
DVRPLUGIN_OFFSET(_EventParmsIn, Params, 40);
DVRPLUGIN_OFFSET(_EventParmsIn, Params[EVENT_PARAM_LEVEL], 48);
DVRPLUGIN_SIZE(_LoadParmsIn, 24);
DVRPLUGIN_SIZE(_IoctlParmsIn, 40);
DVRPLUGIN_OFFSET(_IoctlParmsIn, DataBlock, 16);
DVRPLUGIN_SIZE(_ReadParmsIn, 40);
DVRPLUGIN_OFFSET(_ReadParmsIn, Data, 24);
DVRPLUGIN_SIZE(_WriteParmsIn, 200);
DVRPLUGIN_OFFSET(_WriteParmsIn, Data, 24);
DVRPLUGIN_OFFSET(_WriteParmsIn, Params, 48);
#endif

#ifdef __cplusplus
}
#endif

#endif /* DVRPLUGIN_H */
