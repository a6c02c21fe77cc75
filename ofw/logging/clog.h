/* The C log layer used by the C client library code (audit levels, session
 * set-up).
 *
 * A log buffer holds the program name, the emergency destination text, the
 * level, the daemon's socket path and time-outs. Each record is formatted into
 * 1,024 bytes and handed, as the fields a ControlLog2 message carries (time,
 * program, pid, level, file, line, function, text), to a sender: a function
 * pointer with a context that the LRPC2 layer installs. Records made before
 * LogBufferStart() are kept (up to LOG_BUFFER_MAX_PENDING) and sent when it is
 * called. When no sender is set, or the sender fails, records go to the
 * emergency destination: "syslog", "file <path>" or a syslog facility name.
 *
 * Every function returns 0 on success or a LOG_BUFFER_E* status. A buffer may
 * be used by several threads at once.
 */
#ifndef OFW_CLOG_H
#define OFW_CLOG_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* C levels. */
enum {
  LOG_BUFFER_TRACE = 0,
  LOG_BUFFER_DEBUG = 1,
  LOG_BUFFER_INFO = 2,
  LOG_BUFFER_WARN = 3,
  LOG_BUFFER_ERROR = 4
};

/* Status codes. */
enum {
  LOG_BUFFER_OK = 0,
  LOG_BUFFER_EINVAL = -22,     /* bad argument */
  LOG_BUFFER_ENOMEM = -12,     /* out of memory */
  LOG_BUFFER_ECONNECT = -111,  /* sender: the connection to the daemon failed */
  LOG_BUFFER_ESEND = -32       /* sender: sending failed */
};

#define LOG_BUFFER_RECORD_SIZE 1024
#define LOG_BUFFER_MAX_PENDING 64

/* One record, as appended to a ControlLog2 message in this order: time (uint32,
 * seconds since the epoch), program (string), pid (int32), level (int32), file
 * (string), line (int32), function (string), text (string). The level is the
 * daemon logger's level (0 TRACE, 1 DEBUG, 3 INFO, 4 WARN, 5 ERROR) so that the
 * daemon writes the record at the level it was made with. The strings are
 * owned by the log buffer and valid only during the sender call. */
typedef struct LogRecordFields {
  uint32_t time;
  const char* program;
  int32_t pid;
  int32_t level;
  const char* file;
  int32_t line;
  const char* function;
  const char* text;
} LogRecordFields;

typedef struct LogBuffer LogBuffer;

/* Sends `count` records (count >= 1) to the daemon. Returns 0, or
 * LOG_BUFFER_ECONNECT / LOG_BUFFER_ESEND with a text in `error` (errorSize
 * bytes, NUL-terminated). Called with the buffer's lock held: it must not log
 * through the same buffer. */
typedef int (*LogBufferSender)(void* context, const LogBuffer* buffer,
                               const LogRecordFields* records, size_t count, char* error,
                               size_t errorSize);

/* The daemon logger's level for a C level (TRACE 0, DEBUG 1, INFO 3, WARN 4, ERROR 5). */
int LogBufferLevelToLoggerLevel(int level);

/* Level text: "TRACE", "DEBUG", "INFO", "WARN" or "WARNING", "ERROR" (any case);
 * -1 for anything else. */
int LogBufferTextToLevel(const char* text);

/* Creates a buffer. `destination` is the emergency destination text (NULL =
 * "syslog"); `socketPath` may be NULL. Time-outs are in seconds. */
int LogBufferCreate(LogBuffer** out, const char* program, const char* destination, int level,
                    const char* socketPath, int timeoutSeconds, int connectTimeoutSeconds);
/* Frees the buffer (pending records go to the emergency destination). NULL is accepted. */
int LogBufferFree(LogBuffer* buffer);

int LogBufferSetSender(LogBuffer* buffer, LogBufferSender sender, void* context);
int LogBufferSetLevel(LogBuffer* buffer, int level);
int LogBufferGetLevel(const LogBuffer* buffer);
const char* LogBufferProgram(const LogBuffer* buffer);
const char* LogBufferSocketPath(const LogBuffer* buffer);
int LogBufferTimeout(const LogBuffer* buffer);
int LogBufferConnectTimeout(const LogBuffer* buffer);

/* Starts logging: the kept records are sent, later ones are sent as they come.
 * Also leaves the emergency mode a failed send entered. */
int LogBufferStart(LogBuffer* buffer);

/* Formats and logs one record when level >= the buffer's level. */
int LogBufferWrite(LogBuffer* buffer, int level, const char* file, int line, const char* function,
                   const char* format, ...) __attribute__((format(printf, 6, 7)));

/* Writes one text to the emergency destination (syslog, a file in the form
 * "%s %s[%d] %s: %s\n" with the time as "%b %d %T", or a syslog facility). */
int LogBufferEmergency(LogBuffer* buffer, int level, const char* text);

/* A sender for code running inside the daemon: writes each record through the
 * thread-private logger "client" at the record's level, file, line and function
 * (context unused). */
int LogBufferSendToLogger(void* context, const LogBuffer* buffer, const LogRecordFields* records,
                          size_t count, char* error, size_t errorSize);

#ifdef __cplusplus
}
#endif

#endif /* OFW_CLOG_H */
