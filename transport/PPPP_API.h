#ifndef ZELT2_PPPP_API_H
#define ZELT2_PPPP_API_H
/*
 * The peer-to-peer transport as the service sees it: a C interface exported
 * by libpppp. A device listens under its device identifier (DID); viewers open
 * sessions to it; each session carries byte streams on eight numbered channels
 * (0 control, 1 video, 2 to 7 free). Session handles are positive and never
 * reused within a process (the counter would have to pass 2^31); every
 * negative result is an error. docs/transport.md has the whole picture and
 * the wire format.
 *
 * Reads, writes, buffer checks and closes may run at the same time on
 * different threads, for different sessions and for one session. A read on a
 * session that has been closed here returns PPPP_ERR_CLOSED_LOCALLY at once;
 * once the peer has gone, a read still delivers the bytes that arrived before,
 * then returns PPPP_ERR_CLOSED_BY_PEER or PPPP_ERR_CLOSED_TIMEOUT. Either way
 * it returns a result other than PPPP_OK and PPPP_ERR_TIMEOUT, at the latest
 * when its time-out expires.
 *
 * One process may be a device (or several, one per DID) and any number of
 * viewers at the same time, all under one initialisation.
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
#define PPPP_ERR_ALREADY_INITIALISED (-2) /* initialised already, with another configuration */
#define PPPP_ERR_TIMEOUT (-3)          /* read, listen or connect time-out; a read's size says what arrived */
#define PPPP_ERR_BAD_DID (-4)          /* the DID cannot be valid (see PPPP_DID_MAX_LENGTH) */
#define PPPP_ERR_BAD_ARGUMENT (-5)     /* a null pointer, a bad channel or size, a bad initialisation string */
#define PPPP_ERR_DEVICE_NOT_FOUND (-6) /* viewer side: no device answers for the DID or at the address */
#define PPPP_ERR_REFUSED (-7)          /* viewer side: the device refused the session or spoke no protocol */
#define PPPP_ERR_CANNOT_LISTEN (-8)    /* the DID is served elsewhere, or listening cannot work */
#define PPPP_ERR_INTERRUPTED (-9)      /* a listen was ended by PPPP_Listen_Break */
#define PPPP_ERR_TOO_MANY (-10)        /* no more sessions can be opened in this process */
#define PPPP_ERR_CLOSED_BY_PEER (-11)  /* session gone: the peer closed it, its process ended, or it broke the protocol */
#define PPPP_ERR_CLOSED_TIMEOUT (-12)  /* session gone: the peer stopped answering (keepalive) */
#define PPPP_ERR_CLOSED_LOCALLY (-13)  /* session gone: closed here by PPPP_Close, or no such session */
#define PPPP_ERR_BUFFER_FULL (-14)     /* write refused: the session's send queue is full (nothing queued) */

/* A DID: 1 to 20 bytes, each 'A'-'Z', '0'-'9', '-' or '_', zero-terminated.
   Lower case is not a DID; callers upper-case what users type. */
#define PPPP_DID_MAX_LENGTH 20

#define PPPP_CHANNEL_COUNT 8
/* The most bytes one PPPP_Write may carry (one frame on the wire). */
#define PPPP_MAX_WRITE_SIZE 1048576

/* The session record filled by PPPP_Check: 84 bytes, numbers little-endian. */
#define PPPP_SESSION_RECORD_SIZE 84
#define PPPP_REC_HANDLE 0          /* int32: the session handle */
#define PPPP_REC_SIDE 4            /* u8: 0 accepted by PPPP_Listen (device), 1 opened by PPPP_Connect(To) (viewer) */
#define PPPP_REC_STATE 5           /* u8: 0 open, 1 gone (see PPPP_REC_END_REASON) */
#define PPPP_REC_CHANNELS 6        /* u8: number of channels, 8 */
#define PPPP_REC_PEER_VERSION 7    /* u8: the peer's protocol version */
#define PPPP_REC_REMOTE_ADDR 8     /* 4 bytes: peer IPv4 address in network order (a.b.c.d = bytes 8..11) */
#define PPPP_REC_REMOTE_PORT 12    /* u16: peer port */
#define PPPP_REC_LOCAL_ADDR 16     /* 4 bytes: local IPv4 address in network order */
#define PPPP_REC_LOCAL_PORT 20     /* u16: local port */
#define PPPP_REC_DID 24            /* 21 bytes: the DID, zero-terminated and zero-filled */
#define PPPP_REC_AGE_MS 48         /* u32: milliseconds since the session was opened */
#define PPPP_REC_IDLE_MS 52        /* u32: milliseconds since anything arrived from the peer */
#define PPPP_REC_BYTES_SENT 56     /* u64: payload bytes taken by PPPP_Write (all channels) */
#define PPPP_REC_BYTES_RECEIVED 64 /* u64: payload bytes received (all channels) */
#define PPPP_REC_WRITE_PENDING 72  /* u32: as PPPP_Check_Buffer's write count */
#define PPPP_REC_KEEPALIVE_MS 76   /* u32: interval of this side's keepalives */
#define PPPP_REC_PATH 80           /* u8: PPPP_PATH_*: how the session's bytes travel */
#define PPPP_SESSION_ROUTE_OFFSET 81 /* u8: PPPP_ROUTE_*: 0 direct, non-zero relayed */
#define PPPP_REC_END_REASON 82     /* u8: 0 while open, else 11, 12 or 13 (the gone result, negated) */
#define PPPP_REC_PEER_ACCOUNT 45   /* 3 bytes: on the internet route, a key of the viewer's broker
                                      account (the identity the broker checked: 24 bits of a hash of
                                      its name, never all 0); 0 elsewhere */
/* Byte 83 is reserved, 0. */

#define PPPP_PATH_TCP 0            /* a TCP connection on this host or the local network */
#define PPPP_PATH_INTERNET 1       /* a data channel of the internet route (docs/internet.md) */
#define PPPP_ROUTE_DIRECT 0        /* peer to peer (on the internet route: through the NATs) */
#define PPPP_ROUTE_RELAY_UDP 1     /* through a TURN relay, reached over UDP */
#define PPPP_ROUTE_RELAY_TCP 2     /* through a TURN relay, reached over TCP */
#define PPPP_ROUTE_RELAY_TLS 3     /* through a TURN relay, reached over TLS */
typedef struct PPPP_SessionRecord {
    unsigned char bytes[PPPP_SESSION_RECORD_SIZE];
} PPPP_SessionRecord;

/*
 * The initialisation string: 90 capital letters 'A'..'P', two per byte (high
 * half first, 'A' = 0 .. 'P' = 15), 45 bytes of configuration described in
 * docs/transport.md. Every field 0 means its default, so the string below is
 * the library's defaults. When the environment variable PPPP_INIT_ENV_VARIABLE
 * holds a string, PPPP_Initialize uses it instead of its argument, so that
 * tests and demos can move a program that passes a built-in constant.
 */
#define PPPP_INIT_STRING_LENGTH 90
#define PPPP_INIT_ENV_VARIABLE "ZELT2_PPPP_INIT"
#define PPPP_DEFAULT_INIT_STRING \
    "FKABAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAPO"

/* Flags of the initialisation. */
#define PPPP_INIT_LOOPBACK_ONLY 0x01 /* this host only: no LAN broadcast; devices listen and answer on loopback only */
#define PPPP_INIT_NO_PROBE 0x02      /* a new device does not ask the network whether its DID is taken */

/* What an initialisation string says; 0 in any field means its default. */
typedef struct PPPP_InitOptions {
    unsigned short discoveryPort;    /* UDP port of discovery (default 32100) */
    unsigned short sessionPort;      /* TCP port devices accept sessions on (default: any free port) */
    unsigned short keepaliveMs;      /* longest silence before this side sends a keepalive (default 2000) */
    unsigned short deadPeerMs;       /* silence after which the peer is gone, PPPP_ERR_CLOSED_TIMEOUT (default 9000) */
    unsigned short handshakeMs;      /* time a new connection has to introduce itself (default 3000) */
    unsigned short sendBufferKiB;    /* kernel send buffer of a session socket (default 64) */
    unsigned short receiveBufferKiB; /* kernel receive buffer of a session socket (default: the system's) */
    unsigned short channelBufferKiB; /* unread bytes per channel before the session stops receiving (default 256) */
    unsigned short sendQueueKiB;     /* bytes a session queues before writes fail with PPPP_ERR_BUFFER_FULL (default 1024) */
    unsigned short probeMs;          /* how long a new device waits for another device with its DID (default 300) */
    unsigned int flags;              /* PPPP_INIT_* */
} PPPP_InitOptions;

/* Writes the 90-letter string for `options` (null: all defaults) and its
   terminating zero to `out`, which must hold outSize >= 91 bytes. Returns 90,
   or PPPP_ERR_BAD_ARGUMENT. */
PPPP_EXPORT int PPPP_MakeInitString(const PPPP_InitOptions* options, char* out, int outSize);
/* Reads a string made by PPPP_MakeInitString back into `options` (defaults
   stay 0). PPPP_OK, or PPPP_ERR_BAD_ARGUMENT when it is not a valid string. */
PPPP_EXPORT int PPPP_ParseInitString(const char* initString, PPPP_InitOptions* options);

/* Prepares the library; `initString` is 90 capital letters configuring it
   (overridden by the environment variable PPPP_INIT_ENV_VARIABLE). PPPP_OK;
   PPPP_ERR_BAD_ARGUMENT for a bad string; PPPP_ERR_NOT_INITIALISED when the
   library cannot start (no thread). Calling it again while initialised
   with the same configuration succeeds and counts: every success needs its
   PPPP_DeInitialize, and the last one releases the library. Another
   configuration while initialised: PPPP_ERR_ALREADY_INITIALISED. */
PPPP_EXPORT int PPPP_Initialize(const char* initString);
/* Releases one initialisation; the last one ends every session (pending reads
   return PPPP_ERR_CLOSED_LOCALLY), every device and every pending listen.
   PPPP_ERR_NOT_INITIALISED when there is nothing to release. */
PPPP_EXPORT int PPPP_DeInitialize(void);
/* Whether this process may carry other peers' traffic. The built-in direct
   route relays nothing, so the setting is only remembered. PPPP_OK. */
PPPP_EXPORT int PPPP_Share_Bandwidth(char enable);
/* Version as four bytes, most significant first: major.minor.patch.build. */
PPPP_EXPORT unsigned int PPPP_GetAPIVersion(void);

/*
 * Device side. Blocks until a viewer opens a session to `did` and returns its
 * handle. The first listen for a DID opens the device: a TCP port for
 * sessions (`port`, or when 0 the initialisation's session port, or when that
 * is 0 any free port) and answers to discovery; before that it asks the
 * network for probeMs whether another device already serves the DID. The
 * device stays open between listens (viewers arriving meanwhile wait, up to
 * eight) until PPPP_Listen_Break or the last PPPP_DeInitialize. Sessions for
 * another DID are refused by the library and never returned.
 *   waitSeconds   longest wait; PPPP_ERR_TIMEOUT after it (0: no limit)
 *   port          as above; only the first listen of a DID uses it
 *   enableRemote  non-zero: reachable and discoverable from other hosts (unless
 *                 initialised for this host only); 0: from this host only (loopback)
 * The service passes (did, 600, 0, 1): ten-minute listens, the configured or
 * any free port, reachable from the network.
 * Results: a handle; PPPP_ERR_BAD_DID; PPPP_ERR_CANNOT_LISTEN (the DID is
 * served elsewhere, or the ports cannot be opened); PPPP_ERR_TIMEOUT,
 * PPPP_ERR_INTERRUPTED: listen again if still wanted; PPPP_ERR_NOT_INITIALISED.
 */
PPPP_EXPORT int PPPP_Listen(const char* did, unsigned int waitSeconds, unsigned int port, char enableRemote);
/* Makes every pending PPPP_Listen return PPPP_ERR_INTERRUPTED promptly, and
   closes every device of this process (it stops answering discovery; viewers
   that had not yet been returned by a listen are closed). When no listen is
   pending, the next PPPP_Listen returns PPPP_ERR_INTERRUPTED at once, so that
   a listener that was about to listen again when told to stop stops too.
   PPPP_OK. */
PPPP_EXPORT int PPPP_Listen_Break(void);

/* Fills the session record. PPPP_OK for an open session; for a gone session
   the record is filled too and the gone result is returned;
   PPPP_ERR_CLOSED_LOCALLY (record untouched) for an unknown handle. */
PPPP_EXPORT int PPPP_Check(int session, PPPP_SessionRecord* record);

/* The channel binding of a session: 32 bytes derived from the certificates
   that the session's encrypted channel actually used (the internet route's
   DTLS), the same at both ends unless someone sits in the middle. A login
   proves it together with the password (docs/transport.md, section 8).
   Writes them to `out` and returns PPPP_CHANNEL_BINDING_SIZE; returns 0 for a
   session whose route has no such channel (TCP) or whose peer does not bind
   its login (version below 3); PPPP_ERR_BAD_ARGUMENT for a null `out` or
   outSize below 32; PPPP_ERR_CLOSED_LOCALLY for an unknown handle. Also
   answers for a gone session until it is closed. */
#define PPPP_CHANNEL_BINDING_SIZE 32
PPPP_EXPORT int PPPP_Channel_Binding(int session, unsigned char* out, int outSize);

/* Reads *size bytes of `channel` into `buffer`, waiting at most timeoutMs.
   PPPP_OK when all arrived; PPPP_ERR_TIMEOUT when the time ran out first, with
   *size set to the bytes that did arrive; anything else: the session is over
   (*size says what was delivered before). One reader per channel is the
   intended use; concurrent readers of one channel share its bytes. */
PPPP_EXPORT int PPPP_Read(int session, unsigned char channel, char* buffer, int* size, unsigned int timeoutMs);
/* Sends `size` bytes (at most PPPP_MAX_WRITE_SIZE) on `channel` without
   blocking: they go to the socket at once or wait in the session's queue. The
   bytes of one call stay together and in order. Returns `size`, or
   PPPP_ERR_BUFFER_FULL (nothing queued), a gone result, PPPP_ERR_BAD_ARGUMENT. */
PPPP_EXPORT int PPPP_Write(int session, unsigned char channel, const char* buffer, int size);
/* `writePending`: bytes of the session not yet sent to the peer: those queued
   here (with their 6-byte frame headers) plus those the kernel has not sent;
   on the internet route, payload written that the peer has not acknowledged.
   `readPending`: bytes of `channel` received but not yet read. Either pointer
   may be null. PPPP_OK, or PPPP_ERR_CLOSED_BY_PEER / _TIMEOUT / _LOCALLY once
   the session is gone, or PPPP_ERR_BAD_ARGUMENT for a bad channel. */
PPPP_EXPORT int PPPP_Check_Buffer(int session, unsigned char channel, unsigned int* writePending,
                                  unsigned int* readPending);
/* Waits until at most `maxQueued` bytes wait in the session's own queue (the
   kernel's part not counted; on the internet route, until at most that much
   is unacknowledged), or timeoutMs. PPPP_OK, PPPP_ERR_TIMEOUT or a gone
   result. For senders of bulk data that would rather wait than see
   PPPP_ERR_BUFFER_FULL. */
PPPP_EXPORT int PPPP_Wait_Buffer(int session, unsigned int maxQueued, unsigned int timeoutMs);
/* Ends the session here and forgets the handle; never blocks. Bytes already
   written are still sent for a short while, then the peer is told goodbye.
   Pending and later reads return PPPP_ERR_CLOSED_LOCALLY, as does every later
   call with the handle. PPPP_OK, or PPPP_ERR_CLOSED_LOCALLY for an unknown
   (or already closed) handle. Safe from any thread, any number of times. */
PPPP_EXPORT int PPPP_Close(int session);

/* Viewer side (after PPPP_Initialize, like the device side). Opens a session to
   the device serving `did`, found by discovery on this host and the local
   network, waiting at most timeoutMs (0: 5000); returns the session handle, or
   PPPP_ERR_BAD_DID, PPPP_ERR_DEVICE_NOT_FOUND, PPPP_ERR_REFUSED,
   PPPP_ERR_TIMEOUT, PPPP_ERR_TOO_MANY, PPPP_ERR_NOT_INITIALISED. */
PPPP_EXPORT int PPPP_Connect(const char* did, unsigned int timeoutMs);
/* The same without discovery, to the device at `address`: "a.b.c.d:port" or
   "hostname:port" (IPv4). PPPP_ERR_BAD_ARGUMENT for an address that is not one. */
PPPP_EXPORT int PPPP_ConnectTo(const char* did, const char* address, unsigned int timeoutMs);

#ifdef __cplusplus
}
#endif

#endif /* ZELT2_PPPP_API_H */
