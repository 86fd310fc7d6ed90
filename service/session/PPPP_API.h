#ifndef ZELT2_PPPP_API_H
#define ZELT2_PPPP_API_H
/*
 * The peer-to-peer transport as the service sees it: a C interface exported
 * by libpppp. A device listens under its device identifier (DID); viewers open
 * sessions to it; each session carries byte streams on numbered channels
 * (0 control, 1 video). Session handles are non-negative; every negative
 * result is an error.
 *
 * Reads, writes, buffer checks and closes may run at the same time on
 * different threads, for different sessions and for one session. A read on a
 * session that has been closed, here or by the peer, returns a result other
 * than PPPP_OK and PPPP_ERR_TIMEOUT, at the latest when its time-out expires.
 */

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define PPPP_EXPORT __declspec(dllexport)
#else
#define PPPP_EXPORT __attribute__((visibility("default")))
#endif

/* Results. */
#define PPPP_OK 0
#define PPPP_ERR_NOT_INITIALISED (-1)     /* PPPP_Initialize has not succeeded */
#define PPPP_ERR_ALREADY_INITIALISED (-2)
#define PPPP_ERR_TIMEOUT (-3)          /* read or listen time-out; a read's size says what arrived */
#define PPPP_ERR_BAD_DID (-4)          /* the DID cannot be valid */
#define PPPP_ERR_BAD_ARGUMENT (-5)     /* a null pointer, a bad channel, a bad initialisation string */
#define PPPP_ERR_DEVICE_NOT_FOUND (-6) /* viewer side: no device answers for the DID */
#define PPPP_ERR_REFUSED (-7)          /* viewer side: the device refused the session */
#define PPPP_ERR_CANNOT_LISTEN (-8)    /* the DID is served elsewhere, or listening cannot work */
#define PPPP_ERR_INTERRUPTED (-9)      /* a pending listen was ended by PPPP_Listen_Break */
#define PPPP_ERR_TOO_MANY (-10)        /* no more sessions can be opened */
#define PPPP_ERR_CLOSED_BY_PEER (-11)  /* session gone: the peer closed it */
#define PPPP_ERR_CLOSED_TIMEOUT (-12)  /* session gone: the peer stopped answering */
#define PPPP_ERR_CLOSED_LOCALLY (-13)  /* session gone: closed here, or no such session */

/* The session record filled by PPPP_Check. */
#define PPPP_SESSION_RECORD_SIZE 84
#define PPPP_SESSION_ROUTE_OFFSET 81 /* 0: direct session; other values: relayed */
typedef struct PPPP_SessionRecord {
    unsigned char bytes[PPPP_SESSION_RECORD_SIZE];
} PPPP_SessionRecord;

/* Prepares the library; `initString` is 90 capital letters configuring it.
   Negative on failure. */
PPPP_EXPORT int PPPP_Initialize(const char* initString);
/* Releases the library; only after a successful PPPP_Initialize. */
PPPP_EXPORT int PPPP_DeInitialize(void);
PPPP_EXPORT int PPPP_Share_Bandwidth(char enable);
/* Version as four bytes, most significant first: major.minor.patch.build. */
PPPP_EXPORT unsigned int PPPP_GetAPIVersion(void);

/* Blocks until a viewer opens a session to `did` (zero-terminated, upper case)
   and returns its handle; PPPP_ERR_BAD_DID or PPPP_ERR_CANNOT_LISTEN when
   listening cannot work; other negative results when the listen should be
   repeated (time-out, break). */
PPPP_EXPORT int PPPP_Listen(const char* did, unsigned int waitSeconds, unsigned int port, char enableRemote);
/* Makes a pending PPPP_Listen return. */
PPPP_EXPORT int PPPP_Listen_Break(void);

/* Fills the session record; PPPP_OK on success. */
PPPP_EXPORT int PPPP_Check(int session, PPPP_SessionRecord* record);

/* Reads *size bytes of `channel` into `buffer`, waiting at most timeoutMs.
   PPPP_OK when all arrived; PPPP_ERR_TIMEOUT when the time ran out first, with
   *size set to the bytes that did arrive; anything else: the session is over. */
PPPP_EXPORT int PPPP_Read(int session, unsigned char channel, char* buffer, int* size, unsigned int timeoutMs);
/* Queues `size` bytes on `channel`; the bytes of one call stay together and in
   order. Negative on failure. */
PPPP_EXPORT int PPPP_Write(int session, unsigned char channel, const char* buffer, int size);
/* Bytes of `channel` still waiting to be sent (`writePending`) and received but
   not yet read (`readPending`); either pointer may be null. */
PPPP_EXPORT int PPPP_Check_Buffer(int session, unsigned char channel, unsigned int* writePending,
                                  unsigned int* readPending);
PPPP_EXPORT int PPPP_Close(int session);

/* Viewer side (after PPPP_Initialize, like the device side). Opens a session to
   the device serving `did`, found by discovery on the local network, waiting at
   most timeoutMs; returns the session handle, or PPPP_ERR_BAD_DID,
   PPPP_ERR_DEVICE_NOT_FOUND, PPPP_ERR_REFUSED, PPPP_ERR_TIMEOUT. */
PPPP_EXPORT int PPPP_Connect(const char* did, unsigned int timeoutMs);
/* The same without discovery, to the device at `address` ("host:port"). */
PPPP_EXPORT int PPPP_ConnectTo(const char* did, const char* address, unsigned int timeoutMs);

#ifdef __cplusplus
}
#endif

#endif /* ZELT2_PPPP_API_H */
